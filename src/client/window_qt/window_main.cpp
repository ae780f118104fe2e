// window_main.cpp - chat_window on Linux desktops: the room's lines in a read-only plain-text view,
// a box to type in, a status bar, a menu, and a notice when something is said while the window is
// behind others. Qt 6 Widgets gives it the desktop's palette, input methods, HiDPI and a screen
// reader's view (AT-SPI). It sits on the client's core (../core) and is a view on it and nothing
// else: the same connection, commands, names heard, name file and display rule as the terminal
// client; what the core reports is gathered in room_model.cpp.
#include "client/core/commands.h"
#include "client/core/connection.h"
#include "client/core/text.h"
#include "client/core/version.h"
#include "client/core/view.h"
#include "platform/net.h"
#include "platform/settings.h"
#include "platform/system.h"
#include "platform/terminal.h"
#include "room_model.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace {

const char TITLE[] = "Chat";
const int FRAME_MS = 50;                 // appends are batched: at most this often
const long long ALERT_GAP_MS = 5000;     // a sound, a notification and an urgency hint at most this often
const std::size_t FRAME_LINES = 100;     // lines added in one frame at most: more are counted, not drawn
const long long SKIP_NOTE_MS = 5000;     // how often a flood's skipped lines are told
const int LIST_CHARS = 4 << 20;          // characters the conversation holds at most: long lines too
const int INPUT_CHARS = 64 * 1024;       // characters the input box holds at most
const char WINDOW_FILE[] = "window-linux";  // where the window's size and place are kept

// The 12 colours of the names (red, green, yellow, blue, magenta, cyan and their bright kinds), on
// a light background and on a dark one: each readable on its own.
const QRgb ON_LIGHT[12] = {
    qRgb(197, 15, 31), qRgb(19, 136, 8),  qRgb(150, 110, 0), qRgb(0, 55, 218),   qRgb(136, 23, 152), qRgb(0, 125, 145),
    qRgb(215, 50, 70), qRgb(30, 140, 20), qRgb(170, 125, 0), qRgb(40, 100, 240), qRgb(170, 0, 150),  qRgb(0, 140, 170),
};
const QRgb ON_DARK[12] = {
    qRgb(255, 110, 110), qRgb(110, 210, 110), qRgb(230, 200, 60),  qRgb(120, 160, 255),
    qRgb(225, 125, 235), qRgb(80, 205, 225),  qRgb(255, 150, 160), qRgb(150, 235, 130),
    qRgb(250, 225, 110), qRgb(160, 190, 255), qRgb(245, 150, 225), qRgb(130, 225, 245),
};

const char USAGE[] =
    "usage: chat_window [--name NAME] [HOST]\n"
    "       chat_window --version\n"
    "Without HOST, waits for a relay's announcement on the local network and connects to the first\n"
    "relay heard; when the connection is lost, it finds the relay again. With --name, every line sent\n"
    "begins with \"NAME: \"; without it, the name is asked for once and remembered (the terminal\n"
    "client uses the same name). Type /help in the window for its commands.\n";

room_model room;
connection *conn = nullptr;
chat_commands *commands = nullptr;

[[noreturn]] void exit_client(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    // The core's threads are never joined: the process ends under them.
    std::_Exit(status);
}

QString ascii(const std::string &text)
{
    return QString::fromLatin1(text.data(), static_cast<int>(text.size()));
}

// The input box: Enter sends, Shift+Enter begins a new line; a paste goes in as plain text.
class input_box : public QPlainTextEdit {
public:
    explicit input_box(QWidget *parent) : QPlainTextEdit(parent) {}
    std::function<void()> on_enter;

protected:
    void keyPressEvent(QKeyEvent *e) override
    {
        bool enter = e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
        if (enter && !(e->modifiers() & Qt::ShiftModifier)) {
            if (on_enter)
                on_enter();
            return;
        }
        if (enter) {
            insertPlainText(QStringLiteral("\n"));
            return;
        }
        QPlainTextEdit::keyPressEvent(e);
    }
    void insertFromMimeData(const QMimeData *source) override
    {
        int room_left = INPUT_CHARS - toPlainText().size();
        if (source->hasText() && room_left > 0)
            insertPlainText(source->text().left(room_left));
    }
};

// Asks for a name, offering one, until a good one is given or the person cancels: the name
// (GB18030), or "" for none.
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

class chat_window : public QMainWindow {
public:
    chat_window()
    {
        setWindowTitle(QString::fromLatin1(TITLE));
        resize(720, 520);
        auto *split = new QSplitter(Qt::Vertical, this);
        list_ = new QPlainTextEdit(split);
        list_->setReadOnly(true);
        list_->setUndoRedoEnabled(false);
        list_->setTabChangesFocus(true);
        list_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        list_->setMaximumBlockCount(static_cast<int>(room_model::LINES_KEPT));
        list_->setAccessibleName(QStringLiteral("Conversation"));
        list_->setAccessibleDescription(QStringLiteral("The lines said in the room, newest last"));
        input_ = new input_box(split);
        input_->setTabChangesFocus(true);
        input_->setAccessibleName(QStringLiteral("Message"));
        input_->setAccessibleDescription(QStringLiteral("Enter sends; Shift+Enter begins a new line"));
        input_->on_enter = [this] { send_typed(); };
        split->addWidget(list_);
        split->addWidget(input_);
        split->setStretchFactor(0, 1);
        split->setStretchFactor(1, 0);
        int line = input_->fontMetrics().lineSpacing();
        split->setSizes({400, line * 3 + 12});
        setCentralWidget(split);
        status_ = new QLabel(this);
        status_->setAccessibleDescription(QStringLiteral("Status"));  // its name is its text
        statusBar()->addWidget(status_, 1);
        make_menu();
        setFocusProxy(input_);
        input_->setFocus();
    }

    // Each frame: the lines that came, the status, the attention they call for.
    void frame()
    {
        std::vector<room_line> lines;
        room_state s;
        bool changed = false;
        room.take(lines, s, changed);
        if (changed)
            show_status(s);
        if (!lines.empty()) {
            attend(lines);
            // A room faster than anyone reads (hundreds of lines a frame) would hold the window's
            // thread, and so the typing, for seconds: the newest lines show, the rest are counted.
            if (lines.size() > FRAME_LINES) {
                skipped_ += lines.size() - FRAME_LINES;
                lines.erase(lines.begin(), lines.end() - static_cast<long>(FRAME_LINES));
            }
            if (skipped_ > 0 && now_ms() - skip_told_ms_ >= SKIP_NOTE_MS) {
                room_line note = lines.front();
                note.kind = room_line::NOTE;
                note.name.clear();
                note.text = QStringLiteral("*** %1 lines came faster than the window could show them: skipped")
                                .arg(static_cast<qulonglong>(skipped_));
                lines.insert(lines.begin(), note);
                skipped_ = 0;
                skip_told_ms_ = now_ms();
            }
            append(lines);
        }
        if (room.lost_status() >= 0)
            exit_client(room.lost_status());
    }

    void restore_place()
    {
        char text[4096];
        char why[512];
        long n = read_settings_file(WINDOW_FILE, text, sizeof text, why, sizeof why);
        if (n > 0)
            restoreGeometry(QByteArray::fromBase64(QByteArray(text, static_cast<int>(n))));
    }

protected:
    void changeEvent(QEvent *e) override
    {
        if (e->type() == QEvent::ActivationChange && isActiveWindow()) {
            unread_ = 0;
            show_title();
            input_->setFocus();
        }
        if (e->type() == QEvent::PaletteChange)
            recolour();
        QMainWindow::changeEvent(e);
    }
    void closeEvent(QCloseEvent *e) override
    {
        QByteArray place = saveGeometry().toBase64();
        char why[512];
        write_settings_file(WINDOW_FILE, place.constData(), static_cast<std::size_t>(place.size()), why, sizeof why);
        QMainWindow::closeEvent(e);
    }

private:
    // The conversation's background, as the desktop's palette (or a style sheet) gives it.
    bool dark() const { return list_->palette().color(QPalette::Base).lightness() < 128; }

    QTextCharFormat format_for(const room_line &l, bool name_part) const
    {
        QTextCharFormat f;
        if (l.kind == room_line::OWN)
            f.setFontWeight(QFont::Bold);
        if (l.kind == room_line::NOTE)
            f.setForeground(list_->palette().color(QPalette::PlaceholderText));
        else if (name_part)
            f.setForeground(QColor((dark() ? ON_DARK : ON_LIGHT)[l.colour % 12]));
        return f;
    }

    void add_to_list(QTextCursor &c, const room_line &l)
    {
        QTextCharFormat time;
        time.setForeground(list_->palette().color(QPalette::PlaceholderText));
        if (!list_->document()->isEmpty())
            c.insertBlock();
        // insertText takes the text as it is: nothing a peer sends is read as markup.
        c.insertText(l.time + QLatin1Char(' '), time);
        if (!l.name.isEmpty())
            c.insertText(l.name, format_for(l, true));
        c.insertText(l.text, format_for(l, false));
        chars_.push_back(static_cast<int>(l.time.size() + 2 + l.name.size() + l.text.size()));
        total_chars_ += chars_.back();
    }

    // Appends a frame's lines at once, keeping the view at the bottom if it was there; the oldest
    // go past LINES_KEPT (the document's own block limit) or LIST_CHARS.
    void append(const std::vector<room_line> &lines)
    {
        QScrollBar *bar = list_->verticalScrollBar();
        bool at_bottom = bar->value() >= bar->maximum() - 2;
        QTextCursor c(list_->document());
        c.beginEditBlock();
        c.movePosition(QTextCursor::End);
        for (const room_line &l : lines) {
            add_to_list(c, l);
            shown_.push_back(l);
        }
        while (shown_.size() > room_model::LINES_KEPT) {
            shown_.pop_front();
            total_chars_ -= chars_.front();
            chars_.pop_front();
        }
        int cut = 0;
        while (chars_.size() > 1 && total_chars_ > LIST_CHARS) {
            cut += chars_.front();
            total_chars_ -= chars_.front();
            chars_.pop_front();
            shown_.pop_front();
        }
        if (cut > 0) {
            QTextCursor top(list_->document());
            top.setPosition(0);
            top.setPosition(std::min(cut, list_->document()->characterCount() - 1), QTextCursor::KeepAnchor);
            top.removeSelectedText();
        }
        c.endEditBlock();
        if (at_bottom)
            bar->setValue(bar->maximum());
    }

    // The desktop's palette changed (light to dark, or back): the lines kept are drawn again in
    // the colours readable on it.
    void recolour()
    {
        if (list_ == nullptr)
            return;
        list_->clear();
        chars_.clear();
        total_chars_ = 0;
        QTextCursor c(list_->document());
        c.beginEditBlock();
        for (const room_line &l : shown_)
            add_to_list(c, l);
        c.endEditBlock();
        list_->verticalScrollBar()->setValue(list_->verticalScrollBar()->maximum());
    }

    void show_title()
    {
        QString title = QString::fromLatin1(TITLE);
        setWindowTitle(unread_ > 0 ? QStringLiteral("(%1) %2").arg(unread_).arg(title) : title);
    }

    // A frame's new lines while the window is not active: counted in the title. A mention (the
    // bell on) sounds, and while the window is not active asks the desktop for a notification and
    // marks the window as wanting attention; at most once every few seconds.
    void attend(const std::vector<room_line> &lines)
    {
        int heard = 0;
        const room_line *mention = nullptr;
        for (const room_line &l : lines) {
            if (l.kind != room_line::CHAT)
                continue;
            ++heard;
            if (l.mention)
                mention = &l;
        }
        bool behind = !isActiveWindow();
        if (heard > 0 && behind) {
            unread_ += heard;
            show_title();
        }
        if (mention == nullptr || now_ms() - last_alert_ms_ < ALERT_GAP_MS)
            return;
        last_alert_ms_ = now_ms();
        QApplication::beep();
        if (behind) {
            QApplication::alert(this);
            notify(mention->name + mention->text);
        }
    }

    // A desktop notification through org.freedesktop.Notifications, not waited for: a desktop
    // without a notification daemon (or a session bus) has none, and that is all.
    void notify(const QString &said)
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            return;
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                           QStringLiteral("/org/freedesktop/Notifications"),
                                                           QStringLiteral("org.freedesktop.Notifications"),
                                                           QStringLiteral("Notify"));
        // The body may be read as markup by the daemon: the peer's text goes escaped.
        call << QStringLiteral("Chat") << 0u << QStringLiteral("chat-relay")
             << QStringLiteral("You were mentioned in the chat") << said.toHtmlEscaped() << QStringList()
             << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("org.chatrelay.ChatWindow")},
                            {QStringLiteral("category"), QStringLiteral("im.received")}}
             << -1;
        bus.send(call);
    }

    void show_status(const room_state &s)
    {
        std::string text = s.relay.empty() ? "looking for the relay"
                                           : (s.connected ? "relay " + s.relay : "relay " + s.relay + " lost, reconnecting");
        QString shown = shown_text(text);
        shown += QStringLiteral("   name: ") + (s.name.empty() ? QStringLiteral("(none)") : shown_text(s.name));
        if (s.waiting > 0)
            shown += QStringLiteral("   %1 %2 waiting").arg(s.waiting).arg(s.waiting == 1 ? "line" : "lines");
        status_->setText(shown);
        bell_->setChecked(s.bell);
    }

    // Each line in the input box goes as a line, a command or one for the room; the box is emptied.
    void send_typed()
    {
        QString typed = input_->toPlainText();
        input_->clear();
        for (const QString &line : typed.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")))) {
            if (!commands->entered(gb18030_text(line))) {  // /quit
                close();
                return;
            }
        }
    }

    void choose_relay()
    {
        QDialog dialog(this);
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
        QPointer<QDialog> open(&dialog);
        QPointer<QComboBox> listed(box);
        QPointer<QLabel> said(prompt);
        std::thread([open, listed, said] {
            std::vector<std::string> heard = conn->relays_heard();
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
            commands->move_to(address);
    }

    void find_text()
    {
        bool ok = false;
        QString what = QInputDialog::getText(this, QStringLiteral("Find"), QStringLiteral("&Find in the conversation:"),
                                             QLineEdit::Normal, last_find_, &ok);
        if (!ok || what.isEmpty())
            return;
        last_find_ = what;
        if (!list_->find(what, QTextDocument::FindBackward)) {
            list_->moveCursor(QTextCursor::End);
            if (!list_->find(what, QTextDocument::FindBackward))
                statusBar()->showMessage(QStringLiteral("Not found in the conversation"), 4000);
        }
        list_->setFocus();
    }

    void make_menu()
    {
        QMenu *chat = menuBar()->addMenu(QStringLiteral("&Chat"));
        chat->addAction(QStringLiteral("&Name..."), this, [this] {
            std::string name = ask_name(this, commands->name());
            if (!name.empty())
                commands->change_name(name);
        });
        chat->addAction(QStringLiteral("&Relay..."), this, [this] { choose_relay(); });
        bell_ = chat->addAction(QStringLiteral("&Sound and notification on mention"));
        bell_->setCheckable(true);
        bell_->setChecked(true);
        connect(bell_, &QAction::triggered, this, [](bool on) { commands->set_bell(on); });
        QAction *find = chat->addAction(QStringLiteral("&Find..."), this, [this] { find_text(); });
        find->setShortcut(QKeySequence::Find);
        chat->addSeparator();
        QAction *quit = chat->addAction(QStringLiteral("&Quit"), this, [this] { close(); });
        quit->setShortcut(QKeySequence::Quit);
        QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
        help->addAction(QStringLiteral("&Commands"), this, [] { commands->entered("/help"); });
        help->addAction(QStringLiteral("&About"), this, [this] {
            QMessageBox::about(this, QStringLiteral("About Chat"),
                               QStringLiteral("Chat (chat_window) " PROJECT_VERSION "\n\nA window to chat in with "
                                              "everyone on the local network through the chat relay, in one room "
                                              "with the terminal client."));
        });
    }

    QPlainTextEdit *list_ = nullptr;
    input_box *input_ = nullptr;
    QLabel *status_ = nullptr;
    QAction *bell_ = nullptr;
    std::deque<room_line> shown_;  // the lines in the conversation, to draw again in other colours
    std::deque<int> chars_;        // the characters each takes there
    int total_chars_ = 0;
    int unread_ = 0;
    long long last_alert_ms_ = -ALERT_GAP_MS;
    std::size_t skipped_ = 0;  // lines that came faster than they could be shown, not yet told
    long long skip_told_ms_ = 0;
    QString last_find_;
};

struct options {
    int name_arg = 0;  // the index of NAME in argv, if given
    std::string host;
};

// The options Qt takes with a value after them: that value is no HOST.
bool qt_option_with_value(const char *a)
{
    static const char *const WITH_VALUE[] = {"-platform", "-platformpluginpath", "-platformtheme", "-plugin",
                                             "-style", "-stylesheet", "-session", "-display", "-name", "-title",
                                             "-qwindowgeometry", "-qwindowtitle", "-qwindowicon", "-geometry"};
    for (const char *q : WITH_VALUE)
        if (std::strcmp(a, q) == 0)
            return true;
    return false;
}

// Reads the program's own arguments before Qt sees argv (Qt would take --name as its own): ours are
// taken out, what is left is Qt's. --help and --version end here.
options parse_options(int &argc, char **argv)
{
    options opts;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
            std::fputs(USAGE, stdout);
            exit_client(0);
        }
        if (std::strcmp(a, "--version") == 0) {
            std::printf("chat_window %s\n", PROJECT_VERSION);
            exit_client(0);
        }
        if (std::strcmp(a, "--name") == 0 && i + 1 < argc && argv[i + 1][0] != '\0' && opts.name_arg == 0) {
            opts.name_arg = ++i;
        } else if (a[0] != '-' && opts.host.empty()) {
            opts.host = a;
        } else if (a[0] == '-' && a[1] != '-') {
            argv[kept++] = argv[i];  // Qt's: -platform, -style, -reverse and the like
            if (qt_option_with_value(a) && i + 1 < argc)
                argv[kept++] = argv[++i];
        } else {
            std::fputs(USAGE, stderr);
            exit_client(EXIT_USAGE);
        }
    }
    argv[kept] = nullptr;
    argc = kept;
    return opts;
}

}  // namespace

int main(int argc, char **argv)
{
    int qt_argc = argc;
    std::vector<char *> qt_argv(argv, argv + argc + 1);
    options opts = parse_options(qt_argc, qt_argv.data());
    std::string name;
    if (opts.name_arg != 0) {
        char given[1024];
        int n = argument_in_gb18030(argv, opts.name_arg, given, sizeof given);
        if (n < 0) {
            std::fprintf(stderr, "chat_window: the name is too long or not text\n");
            exit_client(EXIT_USAGE);
        }
        name.assign(given, static_cast<std::size_t>(n));
        if (const char *why = name_refusal(name)) {
            std::fprintf(stderr, "chat_window: --name: %s\n", why);
            exit_client(EXIT_USAGE);
        }
    }
    if (net_startup() != 0) {
        std::fprintf(stderr, "chat_window: the socket layer did not start\n");
        exit_client(EXIT_USAGE);
    }
    QApplication app(qt_argc, qt_argv.data());
    if (qt_argc > 1) {  // what neither we nor Qt took
        std::fputs(USAGE, stderr);
        exit_client(EXIT_USAGE);
    }
    QApplication::setApplicationName(QStringLiteral("chat_window"));
    QApplication::setDesktopFileName(QStringLiteral("org.chatrelay.ChatWindow"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("chat-relay")));
    chat_window window;
    window.restore_place();
    window.show();
    if (name.empty())  // the first start asks, offering the login name
        name = name_for_person([&window](const std::string &offered, const char *) { return ask_name(&window, offered); },
                               [](const std::string &said) { room.note(said); });
    connection_options how;
    how.host = opts.host;
    how.reconnect = true;
    how.tell_heard = true;
    // The core lives as long as the process, as its threads do.
    static connection connected(how, room);
    static chat_commands chat(connected, room, name);
    conn = &connected;
    commands = &chat;
    room.tell_lines_to([](const std::string &line) { return chat.heard(line); });
    chat.start();
    QTimer frames;
    QObject::connect(&frames, &QTimer::timeout, &window, [&window] { window.frame(); });
    frames.start(FRAME_MS);
    std::thread([] {
        connected.connect_first();
        connected.start();
    }).detach();
    app.exec();
    exit_client(0);
}
