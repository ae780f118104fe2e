// window_dialogs.cpp - the name, relay and About dialogs.
#include "window_dialogs.h"

#include "client/core/commands.h"
#include "client/core/connection.h"
#include "client/core/text.h"
#include "window_text.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QVBoxLayout>

#include <thread>
#include <vector>

std::string ask_name(QWidget *parent, const std::string &offered)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Your name in the chat"));
    auto *layout = new QVBoxLayout(&dialog);
    auto *prompt = new QLabel(QStringLiteral("The &name your lines go under:"), &dialog);
    auto *box = new QLineEdit(shown_text(offered), &dialog);
    box->setAccessibleName(QStringLiteral("Name"));
    box->selectAll();
    prompt->setBuddy(box);
    auto *problem = new QLabel(&dialog);
    problem->setAccessibleDescription(QStringLiteral("Problem with the name"));  // its name is its text
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(prompt);
    layout->addWidget(box);
    layout->addWidget(problem);
    layout->addWidget(buttons);
    std::string chosen;
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
        std::string name = gb18030_text(box->text());
        if (const char *why = name_refusal(name)) {
            problem->setText(QString::fromLatin1(why));
            box->setFocus();
            return;
        }
        chosen = name;
        dialog.accept();
    });
    return dialog.exec() == QDialog::Accepted ? chosen : std::string();
}

void choose_relay(QWidget *parent, connection &conn, chat_commands &commands)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Relay"));
    auto *layout = new QVBoxLayout(&dialog);
    auto *prompt = new QLabel(QStringLiteral("Listening for relays for 4 s. Choose one, or type an &address."), &dialog);
    auto *box = new QComboBox(&dialog);
    box->setEditable(true);
    box->setAccessibleName(QStringLiteral("Relay address"));
    prompt->setBuddy(box);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(prompt);
    layout->addWidget(box);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    // The listing is handed to the dialog it was made for, if that is still open.
    QPointer<QDialog> open(&dialog);
    QPointer<QComboBox> listed(box);
    QPointer<QLabel> said(prompt);
    connection *heard_by = &conn;
    std::thread([open, listed, said, heard_by] {
        std::vector<std::string> heard = heard_by->relays_heard();
        QMetaObject::invokeMethod(qApp, [open, listed, said, heard] {
            if (open.isNull())
                return;
            for (const std::string &a : heard)
                listed->addItem(ascii(a));
            said->setText(heard.empty() ? QStringLiteral("No relay announced itself within 4 s. Type an &address.")
                                        : QStringLiteral("Relays heard now: %1. Choose one, or type an &address.")
                                              .arg(heard.size()));
        });
    }).detach();
    if (dialog.exec() != QDialog::Accepted)
        return;
    std::string address = gb18030_text(box->currentText().trimmed());
    if (!address.empty())
        commands.move_to(address);
}

void show_about(QWidget *parent)
{
    QMessageBox::about(parent, QStringLiteral("About Chat"),
                       QStringLiteral("Chat (chat_window) " PROJECT_VERSION "\n\nA window to chat in with everyone on "
                                      "the local network through the chat relay, in one room with the terminal client."));
}
