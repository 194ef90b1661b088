// Questions and messages in modal boxes. Like the file dialog they run an
// event loop of their own, which suspends the measuring loop beneath them;
// the modal pass keeps the exchange going meanwhile.
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>
#include <string>
#include <vector>

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
    if (!WindowsReady()) return 0;
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
    if (!WindowsReady()) return 0;
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

int TextFieldsPopup(const char *title, const char *const *labels, char *values, int count,
                    int valueSize) {
    if (!WindowsReady() || !labels || !values || count < 1 || valueSize < 1) return 0;
    if (Script()) {
        std::string asked;
        for (int i = 0; i < count; ++i) asked += TextOf(labels[i]) + "\n";
        const ModalScope pass;
        return Script()(TextOf(title), asked) ? 1 : 0;
    }
    QDialog box(QApplication::activeWindow());
    box.setWindowTitle(DecodeText(TextOf(title).c_str()));
    auto *form = new QFormLayout(&box);
    std::vector<QLineEdit *> edits;
    for (int i = 0; i < count; ++i) {
        auto *edit = new QLineEdit(QString::fromUtf8(values + static_cast<long>(i) * valueSize));
        edit->setMaxLength(valueSize / 4);  // a character takes up to four bytes of UTF-8
        form->addRow(DecodeText(TextOf(labels[i]).c_str()), edit);
        edits.push_back(edit);
    }
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
    form->addRow(buttons);
    const ModalScope pass;
    if (box.exec() != QDialog::Accepted) return 0;
    for (int i = 0; i < count; ++i)
        std::snprintf(values + static_cast<long>(i) * valueSize, valueSize, "%s",
                      edits[i]->text().toUtf8().constData());
    return 1;
}
