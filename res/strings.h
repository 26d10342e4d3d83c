// Built-in string table and port list: the texts every front end shows, looked up by the
// numeric ids the windows and the terminal front end share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

struct StringRow {
    uint32_t id;
    const char* text;
};

// Ids of the rows that code refers to by name.
enum StringId : uint32_t {
    kIdsAboutMenu = 101,
    kIdsClose = 102,
    kIdsTransferSize = 160,  // %1 = bytes sent, %2 = image size
    kIdsTransferTime = 161,  // %1 = elapsed seconds, %2 = remaining seconds
    kIdsStageCheckImage = 320,
    kIdsStageConnect = 321,
    kIdsStageTransfer = 322,
    kIdsStageUpdate = 323,
    kIdsStageEnd = 324,
    kIdsResultImageIoError = 480,
    kIdsResultPortIoError = 481,
    kIdsResultImageInvalid = 482,
    kIdsResultConnectFail = 483,
    kIdsResultTransferFail = 484,
    kIdsResultUpdateFail = 485,
    kIdsIdentity = 640,
};

// Sorted by id, each id once. The texts are shown exactly as they stand here.
inline constexpr StringRow kStringTable[] = {
    {kIdsAboutMenu, "&About Tarnelo"},
    {kIdsClose, "Close"},
    {kIdsTransferSize, "Transfer Size %1!u! / %2!u! Bytes"},
    {kIdsTransferTime, "Elapse %1!2u! sec / Remain %2!2u! sec"},
    {kIdsStageCheckImage, "Checking Image File..."},
    {kIdsStageConnect, "Connecting to Target..."},
    {kIdsStageTransfer, "Transferring Image File..."},
    {kIdsStageUpdate, "Updating Image File..."},
    {kIdsStageEnd, "Update End"},
    {kIdsResultImageIoError, "Image File I/O Error"},
    {kIdsResultPortIoError, "Serial Port I/O Error"},
    {kIdsResultImageInvalid, "Image File Is Invalid"},
    {kIdsResultConnectFail, "Tartget Connect Fail"},
    {kIdsResultTransferFail, "Image File Transfer Fail"},
    {kIdsResultUpdateFail, "Image File Update Fail"},
    {kIdsIdentity, "NEC61110"},
};

// The row's text, or "" when the table has no such row (never null).
const char* LoadString(uint32_t id);

// Text of a job result: the row 478 + result for results 2..7, "" for every other value
// (success and cancel show no text).
const char* ResultText(int32_t result);

// Text of a job stage: rows 320..324 for stages 1..5, "" for every other value.
const char* StageText(int32_t stage);

// The port list, in the order the main window offers it: index 0 is "COM1".
inline constexpr const char* kPortNames[] = {
    "COM1", "COM2", "COM3", "COM4",  "COM5",  "COM6",
    "COM7", "COM8", "COM9", "COM10", "COM11", "COM12",
};
inline constexpr int32_t kPortCount = static_cast<int32_t>(std::size(kPortNames));
