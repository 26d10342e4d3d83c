// The three windows on Windows' own dialog manager (here under wine on a private X display),
// worked as a person works them: a driver thread finds each window as it comes up and sends it
// what a mouse and a keyboard would (WM_SETTEXT, BM_CLICK, WM_KEYDOWN, the system menu's
// WM_SYSCOMMAND), while the test's own thread runs the real modal loops. The updates go into the
// Linux simulated device on a pseudo-terminal that tests/windows/window-e2e links into the wine
// prefix: a healthy one as COM3, one that stops answering after two blocks as COM4.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/update_job.h"
#include "tests/support/temp_dir.h"
#include "ui/about_dialog.h"
#include "ui/main_dialog.h"
#include "ui/win32/dialog_template.h"
#include "ui/win32/win32.h"

// The common dialogs' element ids (cmb1, edt1, ...); after windows.h.
#include <dlgs.h>

namespace {

constexpr int kHealthyPort = 3;   // COM3
constexpr int kStallingPort = 4;  // COM4: the device stops answering after two blocks
constexpr char kTransferring[] = "Transferring Image File...";

// ---- Reading and working windows from the driver thread ----------------------------------------

std::string TextOf(HWND window) {
    const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(size_t(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(window, WM_GETTEXT, text.size(), LPARAM(text.data()));
    return Narrow(text.data(), size_t(copied));
}

std::string ClassOf(HWND window) {
    wchar_t name[64] = {};
    const int length = GetClassNameW(window, name, 64);
    return Narrow(name, size_t(length));
}

void Click(HWND button) {
    PostMessageW(button, BM_CLICK, 0, 0);
}

void PressKey(HWND window, WPARAM key) {
    PostMessageW(window, WM_KEYDOWN, key, 1);
    PostMessageW(window, WM_KEYUP, key, 0xC0000001);
}

HWND FocusOf(DWORD thread) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

bool Eventually(const std::function<bool()>& condition, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        Sleep(20);
    }
    return true;
}

// The top-level windows, topmost first (a walk rather than EnumWindows, whose callback a lambda
// cannot be on 32-bit Windows).
std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> windows;
    for (HWND window = GetWindow(GetDesktopWindow(), GW_CHILD); window != nullptr;
         window = GetWindow(window, GW_HWNDNEXT)) {
        windows.push_back(window);
    }
    return windows;
}

// A visible dialog owned by `owner`: a message box (a system dialog, no CDialog of ours), or
// one of ours.
HWND FindOwnedDialog(HWND owner) {
    for (HWND window : TopLevelWindows()) {
        if (GetWindow(window, GW_OWNER) == owner && IsWindowVisible(window) &&
            ClassOf(window) == "#32770") {
            return window;
        }
    }
    return nullptr;
}

// The message box's own text: its static that is not the icon.
std::string MessageBoxText(HWND box) {
    std::string text;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) == "Static" && !(GetWindowLongW(child, GWL_STYLE) & SS_ICON)) {
            text += TextOf(child);
        }
    }
    return text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- Windows coming up ------------------------------------------------------------------------

// Hears from inside each modal loop which window has come up, and hands it to the driver.
class WindowWatch {
  public:
    WindowWatch() {
        CDialog::SetModalObserver([this](CDialog& dialog) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_up.emplace_back(dialog.TemplateId(), dialog.GetSafeHwnd());
            m_opened.push_back(dialog.TemplateId());
            m_changed.notify_all();
        });
    }
    ~WindowWatch() { CDialog::SetModalObserver(nullptr); }

    // The next window to come up, if it is template `id` and comes within the time.
    HWND Next(uint32_t id, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return !m_up.empty(); })) {
            ADD_FAILURE() << "window " << id << " never came up";
            return nullptr;
        }
        const auto [upId, window] = m_up.front();
        m_up.pop_front();
        EXPECT_EQ(upId, id) << "another window came up";
        return upId == id ? window : nullptr;
    }

    std::vector<uint32_t> Opened() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_opened;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<uint32_t, HWND>> m_up;
    std::vector<uint32_t> m_opened;
};

// Runs the main window modally on this thread while `script` works it from another. Whatever
// the script leaves open is closed afterwards (a running job is cancelled first), so a failed
// check never leaves the test hanging in a modal loop.
class MainWindowRun {
  public:
    int Run(const std::function<void(HWND main)>& script) {
        const DWORD uiThread = GetCurrentThreadId();
        std::thread driver([&] {
            if (HWND main = m_watch.Next(kIddMain)) script(main);
            CloseEverything(uiThread);
        });
        m_app.m_pMainWnd = &m_main;
        const int result = m_main.DoModal();
        m_app.m_pMainWnd = nullptr;
        driver.join();
        return result;
    }

    WindowWatch& Watch() { return m_watch; }

  private:
    static void CloseEverything(DWORD uiThread) {
        Eventually(
            [&] {
                std::vector<HWND> open;
                for (HWND window : TopLevelWindows()) {
                    if (GetWindowThreadProcessId(window, nullptr) == uiThread &&
                        IsWindowVisible(window)) {
                        open.push_back(window);
                    }
                }
                if (open.empty()) return true;
                updateJob.cancelRequested.store(true);
                for (HWND window : open)
                    PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
                return false;
            },
            30000);
    }

    CWinApp m_app;
    CMainDialog m_main;
    WindowWatch m_watch;
};

// The folder the device writes what it received into, as a Windows path; empty when the test
// runs without tests/windows/window-e2e around it.
std::string DeviceFolder() {
    const char* folder = std::getenv("QUORVANE_WINDOW_TEST_DIR");
    return folder != nullptr ? folder : "";
}

#define REQUIRE_DEVICES()                                                             \
    if (DeviceFolder().empty()) {                                                     \
        GTEST_SKIP() << "no simulated devices: run through tests/windows/window-e2e"; \
    }

// ---- The templates as Windows builds them ------------------------------------------------------

struct Element {
    int id;
    const char* className;
    const char* text;  // null: any non-empty text (an icon's: none to check)
    uint32_t style;    // style bits that must be set, besides WS_CHILD | WS_VISIBLE
    int x, y, cx, cy;
};

struct Window {
    const char* name;
    uint32_t templateId;
    const char* caption;
    const wchar_t* face;
    int cx, cy;
    bool sysMenu;
    std::vector<Element> elements;  // in template order
    std::vector<int> tabOrder;      // ids, from the first tab stop
};

const Window kWindows[] = {
    {"main",
     kIddMain,
     "Quorvane",
     L"Arial",
     183,
     97,
     true,
     {
         {1, "Button", "Start", BS_DEFPUSHBUTTON | WS_TABSTOP, 34, 75, 47, 14},
         {2, "Button", "End", WS_TABSTOP, 110, 75, 47, 14},
         {1002, "Edit", "", WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP, 35, 44, 118, 12},
         {1003, "Button", "...", WS_TABSTOP, 155, 44, 13, 11},
         {-1, "Static", " Port :", SS_CENTERIMAGE, 11, 14, 24, 16},
         {1000, "ComboBox", "COM1",
          CBS_DROPDOWNLIST | WS_VSCROLL | CBS_NOINTEGRALHEIGHT | WS_TABSTOP, 35, 16, 133, 79},
         {-1, "Static", " File :", 0, 11, 46, 22, 8},
     },
     {1, 2, 1002, 1003, 1000}},
    {"about",
     kIddAbout,
     "Abuot Tarnelo",
     L"宋体",
     235,
     55,
     true,
     {
         {-1, "Static", nullptr, SS_ICON, 11, 17, 20, 20},
         {-1, "Static", "Quorvane  2.0", SS_NOPREFIX, 40, 10, 119, 8},
         {-1, "Static", nullptr, 0, 40, 30, 119, 8},
         {1, "Button", "确定", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, 178, 7, 50, 14},
     },
     {1}},
    {"progress",
     kIddProgress,
     "Updating ...",
     L"Arial",
     181,
     99,
     false,
     {
         {1006, "msctls_progress32", "", PBS_SMOOTH, 9, 45, 156, 11},
         {1007, "Static", "Elapsed  0 sec / Remain  0 sec", SS_RIGHT | SS_CENTERIMAGE, 36, 60, 125,
          8},
         {1008, "Static", "Idle", SS_CENTER | SS_CENTERIMAGE, 25, 4, 125, 10},
         {2, "Button", "Cancel", BS_DEFPUSHBUTTON | WS_TABSTOP, 76, 80, 50, 14},
         {1010, "Static", "Transfer Size 0 / 0 Bytes", SS_CENTERIMAGE, 12, 33, 125, 9},
         {1011, "Static", "", SS_CENTER | SS_CENTERIMAGE | WS_GROUP, 24, 18, 125, 10},
     },
     {2}},
};

void PrintTo(const Window& window, std::ostream* out) {
    *out << window.name;
}

// A template rectangle in pixels, as the dialog manager places an element: the position and the
// size each converted from dialog units on its own.
RECT DialogRect(HWND dialog, int x, int y, int cx, int cy) {
    RECT units{x, y, cx, cy};
    MapDialogRect(dialog, &units);
    return RECT{units.left, units.top, units.left + units.right, units.top + units.bottom};
}

RECT ClientRectOf(HWND child) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

class TemplateWindows : public testing::TestWithParam<Window> {};

// The real classes for the main window and the About box; the progress window's class would
// start a job, so its template runs in the plain dialog.
std::unique_ptr<CDialog> MakeDialog(uint32_t templateId) {
    if (templateId == kIddMain) return std::make_unique<CMainDialog>();
    if (templateId == kIddAbout) return std::make_unique<CAboutDialog>();
    return std::make_unique<CDialog>(templateId);
}

TEST_P(TemplateWindows, ElementsClassesStylesPositionsAndTabOrderAreTheTemplates) {
    const Window& expected = GetParam();
    std::unique_ptr<CDialog> dialog = MakeDialog(expected.templateId);
    ASSERT_TRUE(dialog->Create());
    const HWND window = dialog->GetSafeHwnd();

    EXPECT_EQ(TextOf(window), expected.caption);
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_EQ(bool(style & WS_SYSMENU), expected.sysMenu) << "a close box only with a system menu";
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
    EXPECT_TRUE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);

    LOGFONTW font{};
    ASSERT_TRUE(GetObjectW(HFONT(SendMessageW(window, WM_GETFONT, 0, 0)), sizeof font, &font));
    EXPECT_STREQ(font.lfFaceName, expected.face);
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(-font.lfHeight, MulDiv(9, GetDeviceCaps(screen, LOGPIXELSY), 72)) << "9 points";
    ReleaseDC(nullptr, screen);

    RECT client;
    GetClientRect(window, &client);
    const RECT size = DialogRect(window, 0, 0, expected.cx, expected.cy);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);

    ASSERT_EQ(dialog->Items().size(), expected.elements.size());
    for (size_t i = 0; i < expected.elements.size(); ++i) {
        const Element& element = expected.elements[i];
        SCOPED_TRACE(std::string(expected.name) + " element " + std::to_string(i));
        const HWND child = dialog->Items()[i].pWnd->GetSafeHwnd();
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(ClassOf(child), element.className);
        EXPECT_EQ(GetDlgCtrlID(child), element.id);
        if (element.id != -1) {
            EXPECT_EQ(dialog->GetDlgItem(element.id)->GetSafeHwnd(), child);
        }
        // What the template asks for, and what the window has: the dialog manager turns an
        // edit's border into its sunken client edge, and a combo box's scroll bar is its list's.
        const uint32_t wanted = element.style | WS_CHILD | WS_VISIBLE;
        EXPECT_EQ(ElementStyleOf(*dialog->Items()[i].element) & wanted, wanted);
        const uint32_t childStyle = uint32_t(GetWindowLongW(child, GWL_STYLE));
        const uint32_t kept = wanted & ~uint32_t(WS_BORDER | WS_VSCROLL);
        EXPECT_EQ(childStyle & kept, kept);
        if (element.style & WS_BORDER) {
            EXPECT_TRUE(GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
        }
        const bool icon = ClassOf(child) == "Static" && (childStyle & SS_TYPEMASK) == SS_ICON;
        if (element.text != nullptr) {
            EXPECT_EQ(TextOf(child), element.text);
        } else if (!icon) {
            EXPECT_FALSE(TextOf(child).empty());
        }
        const RECT at = ClientRectOf(child);
        const RECT want = DialogRect(window, element.x, element.y, element.cx, element.cy);
        EXPECT_EQ(at.left, want.left);
        EXPECT_EQ(at.top, want.top);
        if (icon) {
            EXPECT_EQ(at.right - at.left, GetSystemMetrics(SM_CXICON)) << "the icon's own size";
            EXPECT_NE(SendMessageW(child, STM_GETICON, 0, 0), 0) << "icon 128 is loaded";
        } else if (ClassOf(child) == "ComboBox") {
            EXPECT_EQ(at.right, want.right);
            EXPECT_LT(at.bottom, want.bottom) << "the template's height includes the open list";
        } else {
            EXPECT_EQ(at.right, want.right);
            EXPECT_EQ(at.bottom, want.bottom);
        }
    }

    // Tab walks the stops in template order and wraps.
    std::vector<int> walked;
    HWND stop = GetNextDlgTabItem(window, nullptr, FALSE);
    for (size_t i = 0; i <= expected.tabOrder.size(); ++i) {
        walked.push_back(GetDlgCtrlID(stop));
        stop = GetNextDlgTabItem(window, stop, FALSE);
    }
    std::vector<int> expectedWalk = expected.tabOrder;
    expectedWalk.push_back(expected.tabOrder.front());
    EXPECT_EQ(walked, expectedWalk);
    dialog->DestroyWindow();
    EXPECT_EQ(dialog->GetSafeHwnd(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Windows, TemplateWindows, testing::ValuesIn(kWindows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MainWindowElements, TwelvePortsTheIconAndTheAboutEntryInTheSystemMenu) {
    CMainDialog dialog;
    ASSERT_TRUE(dialog.Create());
    auto* ports = dynamic_cast<CComboBox*>(dialog.GetDlgItem(kIdcPortList));
    ASSERT_NE(ports, nullptr);
    std::vector<std::string> names;
    for (int i = 0; i < ports->GetCount(); ++i)
        names.push_back(ports->GetLBText(i));
    EXPECT_EQ(names, std::vector<std::string>({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6",
                                               "COM7", "COM8", "COM9", "COM10", "COM11", "COM12"}));
    EXPECT_EQ(ports->GetCurSel(), 0);

    const HWND window = dialog.GetSafeHwnd();
    const HICON icon = LoadIcon(kIdrMainFrame);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(HICON(SendMessageW(window, WM_GETICON, ICON_BIG, 0)), icon);
    EXPECT_EQ(HICON(SendMessageW(window, WM_GETICON, ICON_SMALL, 0)), icon);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP picture{};
    GetObjectW(info.hbmColor, sizeof picture, &picture);
    EXPECT_EQ(picture.bmWidth, 32);
    EXPECT_EQ(picture.bmHeight, 32);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);

    // The system's own menu, with a separator and the About entry appended, command 16.
    const HMENU menu = GetSystemMenu(window, FALSE);
    ASSERT_NE(menu, nullptr);
    const int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 3);
    EXPECT_TRUE(GetMenuState(menu, UINT(count - 2), MF_BYPOSITION) & MF_SEPARATOR);
    EXPECT_EQ(GetMenuItemID(menu, count - 1), 16u);
    wchar_t entry[64] = {};
    const int length = GetMenuStringW(menu, UINT(count - 1), entry, 64, MF_BYPOSITION);
    EXPECT_EQ(Narrow(entry, size_t(length)), "&About Tarnelo");
}

// ---- File names for the engine -----------------------------------------------------------------

TEST(FileNameForEngine, NamesOutsideTheAnsiCodePageAreRefusedNotMangled) {
    if (GetACP() != 1252) GTEST_SKIP() << "the cases are for code page 1252, not " << GetACP();
    const struct {
        const char* text;  // UTF-8, as the file box gives it
        bool accepted;
        const char* ansi;
    } kCases[] = {
        {"C:\\images\\board.img", true, "C:\\images\\board.img"},
        {"Z:\\tmp\\caf\xC3\xA9 \xE2\x82\xAC.img", true, "Z:\\tmp\\caf\xE9 \x80.img"},  // é €
        {"\xE6\x97\xA5\xE6\x9C\xAC.img", false, ""},                                   // 日本
        {"\xCE\xA9mega.img", false, ""},  // Ω: best fit would send "Omega.img"
        {"", true, ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.text);
        std::string ansi = "untouched";
        EXPECT_EQ(AfxFileNameForEngine(c.text, &ansi), c.accepted);
        EXPECT_EQ(ansi, c.ansi);
    }
}

// ---- The windows end to end -------------------------------------------------------------------

TEST(MainWindow, UpdateThroughCom3ClosesTheProgressWindowByItselfAndTheDeviceHoldsTheImage) {
    REQUIRE_DEVICES();
    TempDir dir;
    const std::string bytes = PatternBytes(24000, 5);
    const std::string image = dir.Write("board image.img", bytes);
    const std::string received = DeviceFolder() + "\\received.img";
    DeleteFileA(received.c_str());

    MainWindowRun run;
    std::vector<std::string> stages;
    bool sawTransfer = false;
    int barMax = 0, barEnd = 0;
    std::string sizeLine;
    HWND focusAfter = nullptr, endButton = nullptr;
    const int result = run.Run([&](HWND main) {
        const HWND fileBox = GetDlgItem(main, kIdcFileName);
        endButton = GetDlgItem(main, IDCANCEL);
        SendMessageW(fileBox, WM_SETTEXT, 0, LPARAM(Widen(image).c_str()));
        SendMessageW(GetDlgItem(main, kIdcPortList), CB_SETCURSEL, kHealthyPort - 1, 0);
        PressKey(fileBox, VK_RETURN);  // Enter presses the default button, "Start"

        const HWND progress = run.Watch().Next(kIddProgress);
        if (progress == nullptr) return;
        EXPECT_EQ(GetWindow(progress, GW_OWNER), main);
        EXPECT_FALSE(IsWindowEnabled(main)) << "modal over the main window";
        const HWND bar = GetDlgItem(progress, kIdcProgressBar);
        const bool closed = Eventually([&] {
            if (!IsWindow(progress)) return true;
            const std::string stage = TextOf(GetDlgItem(progress, kIdcStageLine));
            if (stages.empty() || stages.back() != stage) stages.push_back(stage);
            if (stage == kTransferring) {
                sawTransfer = true;
                barMax = int(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
            }
            if (stage == "Updating Image File...") {
                const int position = int(SendMessageW(bar, PBM_GETPOS, 0, 0));
                const std::string line = TextOf(GetDlgItem(progress, kIdcSizeLine));
                if (!line.empty()) {  // else the window closed between the two reads
                    barEnd = position;
                    sizeLine = line;
                }
            }
            return false;
        });
        EXPECT_TRUE(closed) << "the progress window closes by itself after success";
        // "Start" moves the focus once the progress window's modal call has returned.
        const DWORD uiThread = GetWindowThreadProcessId(main, nullptr);
        Eventually([&] { return (focusAfter = FocusOf(uiThread)) == endButton; }, 3000);
        Click(endButton);
    });

    EXPECT_EQ(result, IDCANCEL) << "End";
    EXPECT_EQ(run.Watch().Opened(), std::vector<uint32_t>({kIddMain, kIddProgress}));
    EXPECT_TRUE(sawTransfer);
    EXPECT_EQ(barMax, 24000) << "the bar's range is the image size";
    EXPECT_EQ(barEnd, 24000);
    EXPECT_EQ(sizeLine, "Transfer Size 24000 / 24000 Bytes");
    EXPECT_EQ(focusAfter, endButton) << "after success the focus is on End";
    EXPECT_EQ(updateJob.portIndex, kHealthyPort - 1);
    EXPECT_TRUE(ReadFile(received) == bytes) << "the device does not hold the image";
}

// Names that "Start" refuses with a message box, and nothing else happens.
TEST(MainWindow, StartRefusesANameThatCannotReachTheFileWithTheErrorBox) {
    struct Case {
        const char* name;  // UTF-8
        const char* message;
    };
    std::vector<Case> cases = {{"", "File name can not be empty!"}};
    if (GetACP() == 1252) cases.push_back({"\xE6\x97\xA5\xE6\x9C\xAC.img", kFileNameNotInCodePage});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MainWindowRun run;
        std::string caption, text;
        bool mainStays = false;
        updateJob.imagePath = nullptr;
        run.Run([&](HWND main) {
            SendMessageW(GetDlgItem(main, kIdcFileName), WM_SETTEXT, 0,
                         LPARAM(Widen(c.name).c_str()));
            Click(GetDlgItem(main, IDOK));
            HWND box = nullptr;
            EXPECT_TRUE(Eventually([&] { return (box = FindOwnedDialog(main)) != nullptr; }))
                << "a message box owned by the main window";
            if (box == nullptr) return;
            caption = TextOf(box);
            text = MessageBoxText(box);
            Click(GetDlgItem(box, IDOK));
            EXPECT_TRUE(Eventually([&] { return !IsWindow(box); }));
            mainStays = IsWindowVisible(main) && IsWindowEnabled(main);
            Click(GetDlgItem(main, IDCANCEL));
        });
        EXPECT_EQ(caption, "Error");
        EXPECT_EQ(text, c.message);
        EXPECT_TRUE(mainStays);
        EXPECT_EQ(run.Watch().Opened(), std::vector<uint32_t>({kIddMain})) << "no job ran";
        EXPECT_EQ(updateJob.imagePath, nullptr);
    }
}

TEST(MainWindow, FailedJobShowsItsErrorWithCloseUntilEscCloses) {
    MainWindowRun run;
    std::string result, button, stage;
    bool closedByEsc = false;
    run.Run([&](HWND main) {
        SendMessageW(GetDlgItem(main, kIdcFileName), WM_SETTEXT, 0, LPARAM(L"   "));
        Click(GetDlgItem(main, IDOK));
        const HWND progress = run.Watch().Next(kIddProgress);
        if (progress == nullptr) return;
        const HWND closeButton = GetDlgItem(progress, IDCANCEL);
        EXPECT_TRUE(Eventually([&] { return TextOf(closeButton) == "Close"; }));
        result = TextOf(GetDlgItem(progress, kIdcResultLine));
        stage = TextOf(GetDlgItem(progress, kIdcStageLine));
        button = TextOf(closeButton);
        PressKey(FocusOf(GetWindowThreadProcessId(progress, nullptr)), VK_ESCAPE);
        closedByEsc = Eventually([&] { return !IsWindow(progress); });
        Click(GetDlgItem(main, IDCANCEL));
    });
    EXPECT_EQ(result, "Image File Is Invalid");
    EXPECT_EQ(stage, "Checking Image File...");
    EXPECT_EQ(button, "Close");
    EXPECT_TRUE(closedByEsc);
}

TEST(MainWindow, CancelMidTransferAsksTheJobToStopWhichEndsWithCanCanOnTheLine) {
    REQUIRE_DEVICES();
    TempDir dir;
    const std::string image = dir.Write("big.img", PatternBytes(65536, 9));

    MainWindowRun run;
    std::string buttonAfterCancel;
    bool openAfterCancel = false, closedByItself = false;
    run.Run([&](HWND main) {
        SendMessageW(GetDlgItem(main, kIdcFileName), WM_SETTEXT, 0, LPARAM(Widen(image).c_str()));
        SendMessageW(GetDlgItem(main, kIdcPortList), CB_SETCURSEL, kStallingPort - 1, 0);
        Click(GetDlgItem(main, IDOK));
        const HWND progress = run.Watch().Next(kIddProgress);
        if (progress == nullptr) return;
        EXPECT_TRUE(Eventually([&] {
            return TextOf(GetDlgItem(progress, kIdcStageLine)) == kTransferring &&
                   SendMessageW(GetDlgItem(progress, kIdcProgressBar), PBM_GETPOS, 0, 0) >= 2048;
        }));
        const HWND cancel = GetDlgItem(progress, IDCANCEL);
        // Sent, not posted: it returns once the button's handler has run, so what follows is
        // what the click left, before any tick.
        SendMessageW(cancel, BM_CLICK, 0, 0);
        openAfterCancel = IsWindow(progress) && IsWindowVisible(progress);
        buttonAfterCancel = TextOf(cancel);
        closedByItself = Eventually([&] { return !IsWindow(progress); });
        Click(GetDlgItem(main, IDCANCEL));
    });
    EXPECT_TRUE(openAfterCancel) << "the window stays until the job has ended";
    EXPECT_EQ(buttonAfterCancel, "Cancel");
    EXPECT_TRUE(closedByItself);
    // The device hears the host's CAN CAN after the job has sent it and ended.
    EXPECT_TRUE(Eventually([] {
        return ReadFile(DeviceFolder() + "\\port4.log").find("cancelled by the host") !=
               std::string::npos;
    })) << "the device heard no CAN CAN";
}

// The first descendant of `parent` with that window class.
HWND FindDescendant(HWND parent, const char* className) {
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) == className) return child;
        if (HWND found = FindDescendant(child, className)) return found;
    }
    return nullptr;
}

// The "..." button opens the system's open-file dialog with the image filter, the file box's text
// as the starting name and existing files only; OK puts the chosen file's full path in the box,
// Cancel leaves it, and either way the focus ends in the box.
TEST(MainWindow, BrowseOpensTheSystemsFileDialogWithTheImageFilter) {
    TempDir dir;
    dir.Write("board.img", "x");
    dir.Write("notes.txt", "x");
    std::string folder = dir.Path();
    for (char& c : folder) {
        if (c == '/') c = '\\';
    }
    const std::string chosenPath = folder + "\\board.img";
    const struct {
        const char* how;
        int button;
        std::string boxAfter;
    } kCases[] = {
        {"OK", IDOK, chosenPath},
        {"Cancel", IDCANCEL, chosenPath},  // the box keeps what the first run put there
    };
    MainWindowRun run;
    std::vector<std::string> types, boxes;
    std::vector<int> listed;
    std::vector<bool> focusInBox;
    run.Run([&](HWND main) {
        const HWND fileBox = GetDlgItem(main, kIdcFileName);
        SendMessageW(fileBox, WM_SETTEXT, 0, LPARAM(Widen(folder + "\\old name.img").c_str()));
        for (const auto& c : kCases) {
            SCOPED_TRACE(c.how);
            Click(GetDlgItem(main, kIdcBrowse));
            HWND open = nullptr;
            if (!Eventually([&] { return (open = FindOwnedDialog(main)) != nullptr; })) return;
            const HWND typeList = GetDlgItem(open, cmb1);
            types.clear();
            for (int i = 0; i < int(SendMessageW(typeList, CB_GETCOUNT, 0, 0)); ++i) {
                wchar_t item[128] = {};
                SendMessageW(typeList, CB_GETLBTEXT, i, LPARAM(item));
                types.push_back(Narrow(item, wcslen(item)));
            }
            types.push_back("selected " +
                            std::to_string(SendMessageW(typeList, CB_GETCURSEL, 0, 0)));
            // The folder of the starting name is listed, through the image filter.
            int count = -1;
            Eventually([&] {
                const HWND list = FindDescendant(open, "SysListView32");
                count = list != nullptr ? int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) : -1;
                return count == 1;
            });
            listed.push_back(count);
            if (c.button == IDOK) {
                HWND name = GetDlgItem(open, edt1);
                if (name == nullptr) name = FindDescendant(GetDlgItem(open, cmb13), "Edit");
                SendMessageW(name, WM_SETTEXT, 0, LPARAM(L"board.img"));
            }
            Click(GetDlgItem(open, c.button));
            EXPECT_TRUE(Eventually([&] { return !IsWindow(open); }));
            const DWORD uiThread = GetWindowThreadProcessId(main, nullptr);
            focusInBox.push_back(Eventually([&] { return FocusOf(uiThread) == fileBox; }, 3000));
            boxes.push_back(TextOf(fileBox));
        }
        Click(GetDlgItem(main, IDCANCEL));
    });
    EXPECT_EQ(types,
              std::vector<std::string>({"Image File(*.img)", "(All Files(*.*)", "selected 0"}));
    EXPECT_EQ(listed, std::vector<int>({1, 1})) << "only board.img matches *.img";
    ASSERT_EQ(boxes.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(boxes[i], kCases[i].boxAfter);
        EXPECT_TRUE(focusInBox[i]) << kCases[i].how;
    }
}

TEST(MainWindow, SystemMenuCommands16To31OpenTheAboutBoxCentredOverTheMainWindow) {
    const struct {
        WPARAM command;
        bool opensAbout;
    } kCases[] = {{16, true}, {31, true}, {32, false}};
    MainWindowRun run;
    std::vector<std::string> seen;
    run.Run([&](HWND main) {
        for (const auto& c : kCases) {
            // What the system sends when the entry is chosen from the menu.
            PostMessageW(main, WM_SYSCOMMAND, c.command, 0);
            if (!c.opensAbout) {
                Sleep(300);
                EXPECT_EQ(FindOwnedDialog(main), nullptr) << c.command << " opened a window";
                continue;
            }
            const HWND about = run.Watch().Next(kIddAbout);
            if (about == nullptr) return;
            RECT a, m;
            GetWindowRect(about, &a);
            GetWindowRect(main, &m);
            EXPECT_LE(std::abs((a.left + a.right) - (m.left + m.right)), 2) << "centred";
            EXPECT_LE(std::abs((a.top + a.bottom) - (m.top + m.bottom)), 2) << "centred";
            EXPECT_EQ(GetWindow(about, GW_OWNER), main);
            seen.push_back(TextOf(about) + " / " + TextOf(GetDlgItem(about, IDOK)));
            PressKey(GetDlgItem(about, IDOK), VK_ESCAPE);
            EXPECT_TRUE(Eventually([&] { return !IsWindow(about); }));
        }
        Click(GetDlgItem(main, IDCANCEL));
    });
    EXPECT_EQ(seen, std::vector<std::string>(2, "Abuot Tarnelo / 确定"));
    EXPECT_EQ(run.Watch().Opened(), std::vector<uint32_t>({kIddMain, kIddAbout, kIddAbout}));
}

}  // namespace
