#include "tests/gui/gui_support.h"

#include <stdlib.h>

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include "engine/update_job.h"

int TestSeam::MessageBox(QWidget* owner, const char* text, const char* caption, uint32_t type) {
    messages.push_back(Message{owner, text, caption, type});
    return kIdMessageOk;
}

bool TestSeam::OpenFile(QWidget* owner, const OpenFileRequest& request, std::string* path) {
    fileRequests.push_back(FileRequest{owner, request.defaultExtension, request.initialName,
                                       request.flags, request.filter});
    if (fileAnswers.empty()) return false;
    const std::optional<std::string> answer = fileAnswers.front();
    fileAnswers.pop_front();
    if (!answer) return false;
    *path = *answer;
    return true;
}

ModalScript::ModalScript() {
    CDialog::SetModalObserver([this](CDialog& dialog) { Run(dialog); });
}

ModalScript::~ModalScript() {
    CDialog::SetModalObserver(nullptr);
    EXPECT_TRUE(m_steps.empty()) << m_steps.size() << " window(s) expected but never opened";
}

void ModalScript::Then(uint32_t templateId, Step step) {
    m_steps.emplace_back(templateId, std::move(step));
}

void ModalScript::Run(CDialog& dialog) {
    m_opened.push_back(dialog.TemplateId());
    if (m_steps.empty() || m_steps.front().first != dialog.TemplateId()) {
        ADD_FAILURE() << "window " << dialog.TemplateId() << " opened unexpectedly";
        // A progress window only closes once its job has ended.
        updateJob.cancelRequested.store(true);
        if (!WaitUntil([&] { return !QtWindow(dialog)->isVisible(); })) dialog.EndDialog(IDCANCEL);
        return;
    }
    const Step step = std::move(m_steps.front().second);
    m_steps.pop_front();
    step(dialog);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    if (const char* old = getenv(name)) m_old = old;
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (m_old) {
        setenv(m_name.c_str(), m_old->c_str(), 1);
    } else {
        unsetenv(m_name.c_str());
    }
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    return QTest::qWaitFor(condition, timeoutMs);
}

QString TextOf(QWidget* widget) {
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    if (auto* combo = qobject_cast<QComboBox*>(widget)) return combo->currentText();
    return QString();
}

std::string Utf8(const QString& text) {
    return text.toUtf8().toStdString();
}
