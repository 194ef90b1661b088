// Questions and messages in modal boxes. Like the file dialog they run an
// event loop of their own, which suspends the measuring loop beneath them;
// the modal pass keeps the exchange going meanwhile.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <string>

#include "ui_internal.h"
#include "ui_testing.h"

namespace kvexui {
namespace {

ConfirmScript &Script() {
    static ConfirmScript script;
    return script;
}

std::string TextOf(const char *text) { return text ? text : ""; }

// yesText nullptr: the standard Yes and No buttons.
int Ask(const char *title, const char *message, const char *yesText, const char *noText) {
    if (!RunTimeReady()) return 0;
    if (Script()) {
        const ModalScope pass;
        return Script()(TextOf(title), TextOf(message)) ? 1 : 0;
    }
    QMessageBox box(QMessageBox::Question, DecodeText(TextOf(title).c_str()),
                    DecodeText(TextOf(message).c_str()), QMessageBox::NoButton,
                    QApplication::activeWindow());
    QPushButton *yes = nullptr, *no = nullptr;
    if (yesText && noText) {
        yes = box.addButton(DecodeText(yesText), QMessageBox::YesRole);
        no = box.addButton(DecodeText(noText), QMessageBox::NoRole);
    } else {
        yes = box.addButton(QMessageBox::Yes);
        no = box.addButton(QMessageBox::No);
    }
    // A hasty Enter or Escape keeps what is there.
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    const ModalScope pass;
    box.exec();
    return box.clickedButton() == yes ? 1 : 0;
}

}  // namespace
}  // namespace kvexui

using namespace kvexui;

void SetConfirmScript(ConfirmScript script) { Script() = std::move(script); }

int ConfirmPopup(const char *title, const char *message) {
    return Ask(title, message, nullptr, nullptr);
}

int ConfirmChoicePopup(const char *title, const char *message, const char *yesText,
                       const char *noText) {
    return Ask(title, message, yesText, noText);
}

int MessagePopup(const char *title, const char *message) {
    if (!RunTimeReady()) return 0;
    if (Script()) {
        const ModalScope pass;
        Script()(TextOf(title), TextOf(message));
        return 0;
    }
    QMessageBox box(QMessageBox::Information, DecodeText(TextOf(title).c_str()),
                    DecodeText(TextOf(message).c_str()), QMessageBox::Ok,
                    QApplication::activeWindow());
    const ModalScope pass;
    box.exec();
    return 0;
}
