// Helpers for driving the windows in a test: a dialog seam that answers at once, a script of
// steps for the modal windows a handler opens, and a scoped environment variable.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ui/afx.h"
#include "ui/qt/dialog_seam.h"
#include "ui/qt/qt_layer.h"

class TestSeam final : public DialogSeam {
  public:
    struct Message {
        QWidget* owner;
        std::string text;
        std::string caption;
        uint32_t type;
    };
    struct FileRequest {
        QWidget* owner;
        const char* defaultExtension;
        std::string initialName;
        uint32_t flags;
        std::string filter;
    };

    TestSeam() { SetDialogSeam(this); }
    ~TestSeam() override { SetDialogSeam(nullptr); }

    int MessageBox(QWidget* owner, const char* text, const char* caption, uint32_t type) override;
    bool OpenFile(QWidget* owner, const OpenFileRequest& request, std::string* path) override;

    std::vector<Message> messages;
    std::vector<FileRequest> fileRequests;
    // What the next open-file dialogs answer: a path, or nullopt for Cancel. None left: Cancel.
    std::deque<std::optional<std::string>> fileAnswers;
};

// Runs a queued step for each modal window as it comes up, in order. A window that comes up with
// no step queued for it is a test failure; it is closed so the test can go on.
class ModalScript {
  public:
    using Step = std::function<void(CDialog&)>;
    ModalScript();
    ~ModalScript();
    void Then(uint32_t templateId, Step step);
    // Template ids of every modal window that came up, in order.
    const std::vector<uint32_t>& Opened() const { return m_opened; }
    bool AllStepsRan() const { return m_steps.empty(); }

  private:
    void Run(CDialog& dialog);
    std::deque<std::pair<uint32_t, Step>> m_steps;
    std::vector<uint32_t> m_opened;
};

// Sets an environment variable for one scope, then puts the old value back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();

  private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// Processes events until `condition` holds or `timeoutMs` has passed; returns whether it held.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000);

// gtest shows a QString as its text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// The text an element shows, whatever its kind.
QString TextOf(QWidget* widget);
std::string Utf8(const QString& text);
