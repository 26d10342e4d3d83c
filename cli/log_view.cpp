#include "cli/log_view.h"

#include <cstring>

#include "cli/json.h"
#include "cli/printable.h"

namespace {

constexpr uint32_t kFigurePeriodMs = 1000;

int32_t StageOfText(const char* text) {
    for (int32_t stage = StageCheckImage; stage <= StageEnd; ++stage) {
        if (std::strcmp(StageText(stage), text) == 0) return stage;
    }
    return StageNone;
}

}  // namespace

std::string DeviceLine(const JobFacts& facts) {
    if (facts.identity.empty() && facts.version.empty()) return "";
    std::string line = "device: " + Printable(facts.identity);
    if (!facts.version.empty()) line += ", " + Printable(facts.version);
    return line + "\n";
}

void ReadTwoNumbers(std::string_view text, uint32_t* first, uint32_t* second) {
    uint32_t* targets[] = {first, second};
    size_t found = 0;
    *first = *second = 0;
    for (size_t i = 0; i < text.size() && found < 2;) {
        if (text[i] < '0' || text[i] > '9') {
            ++i;
            continue;
        }
        uint32_t value = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            value = value * 10 + uint32_t(text[i] - '0');
        }
        *targets[found++] = value;
    }
}

void LogView::SetStageLine(const char* text) {
    FlushFigures();
    const int32_t stage = StageOfText(text);
    if (stage != StageNone) {
        CatchUpTo(stage - 1);
        logged_ = stage;
    }
    WriteStage(stage, text);
}

void LogView::SetTimeLine(const char* text) {
    time_ = text;
    FiguresChanged();
}

void LogView::CatchUpTo(int32_t stage) {
    if (logged_ < FirstStage() - 1) logged_ = FirstStage() - 1;
    for (; logged_ < stage; ++logged_) {
        WriteStage(logged_ + 1, StageText(logged_ + 1));
    }
}

void PlainLogView::WriteStage(int32_t /*stage*/, std::string_view text) {
    std::string line = "stage: ";
    line.append(text);
    line.push_back('\n');
    out_.Write(line);
}

void PlainLogView::FiguresChanged() {
    if (size_ == writtenSize_ && time_ == writtenTime_) {
        held_ = false;
        return;
    }
    if (anyWritten_ && clock_.NowMs() - writtenAtMs_ < kFigurePeriodMs) {
        held_ = true;
        return;
    }
    WriteFigures();
}

void PlainLogView::FlushFigures() {
    if (held_) WriteFigures();
}

void PlainLogView::WriteFigures() {
    std::string lines;
    if (size_ != writtenSize_) lines += "size: " + size_ + "\n";
    if (time_ != writtenTime_) lines += "time: " + time_ + "\n";
    out_.Write(lines);
    writtenSize_ = size_;
    writtenTime_ = time_;
    writtenAtMs_ = clock_.NowMs();
    anyWritten_ = true;
    held_ = false;
}

void PlainLogView::Finish(uint32_t /*exitCode*/, std::string_view /*detail*/) {
    FlushFigures();
    if (ModalResult() == kModalOk) CatchUpTo(LastStage());
    if (!result_.empty()) out_.Write("result: " + result_ + "\n");
    if (const std::string device = DeviceLine(Facts()); !device.empty()) out_.Write(device);
}

void JsonLogView::Start(std::string_view image, std::string_view port, std::string_view device) {
    std::string line = "{\"event\":\"start\",\"image\":";
    AppendJsonString(&line, image);
    line += ",\"port\":";
    AppendJsonString(&line, port);
    line += ",\"device\":";
    AppendJsonString(&line, device);
    line += "}\n";
    out_.Write(line);
}

void JsonLogView::WriteStage(int32_t stage, std::string_view text) {
    std::string line = "{\"event\":\"stage\",\"stage\":" + std::to_string(stage) + ",\"text\":";
    AppendJsonString(&line, text);
    line += "}\n";
    out_.Write(line);
}

void JsonLogView::FiguresChanged() {
    uint32_t figures[4];
    ReadTwoNumbers(size_, &figures[0], &figures[1]);
    ReadTwoNumbers(time_, &figures[2], &figures[3]);
    if (anyFigures_ && std::memcmp(figures, figures_, sizeof figures) == 0) return;
    std::memcpy(figures_, figures, sizeof figures);
    anyFigures_ = true;
    out_.Write("{\"event\":\"progress\",\"sent\":" + std::to_string(figures[0]) + ",\"size\":" +
               std::to_string(figures[1]) + ",\"elapsed\":" + std::to_string(figures[2]) +
               ",\"remaining\":" + std::to_string(figures[3]) + "}\n");
}

void JsonLogView::CancelPressed(int presses, std::string_view notice) {
    std::string line = "{\"event\":\"cancel\",\"presses\":" + std::to_string(presses);
    if (!notice.empty()) {
        line += ",\"text\":";
        AppendJsonString(&line, notice);
    }
    line += "}\n";
    out_.Write(line);
}

void JsonLogView::Finish(uint32_t exitCode, std::string_view detail) {
    if (ModalResult() == kModalOk) CatchUpTo(LastStage());
    std::string line = "{\"event\":\"result\",\"code\":" + std::to_string(exitCode) + ",\"text\":";
    AppendJsonString(&line, result_);
    if (!detail.empty()) {
        line += ",\"detail\":";
        AppendJsonString(&line, detail);
    }
    const JobFacts& facts = Facts();
    line += ",\"device\":";
    AppendJsonString(&line, facts.device);
    line += ",\"identity\":";
    AppendJsonString(&line, facts.identity);
    line += ",\"version\":";
    AppendJsonString(&line, facts.version);
    line += ",\"imageSize\":" + std::to_string(facts.imageSize) +
            ",\"bytesSent\":" + std::to_string(facts.bytesSent) +
            ",\"transferMs\":" + std::to_string(facts.transferMs) +
            ",\"systemError\":" + std::to_string(facts.systemError) + ",\"systemErrorText\":";
    AppendJsonString(&line, facts.systemErrorText);
    line += "}\n";
    out_.Write(line);
}

void JsonLogView::Abandon() {
    out_.Write("{\"event\":\"quit\"}\n");
}
