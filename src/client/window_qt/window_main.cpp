// window_main.cpp - chat_window on Linux desktops: the room's lines in a read-only plain-text view,
// a box to type in, a status bar, a menu, and a notice when something is said while the window is
// behind others. Qt 6 Widgets gives it the desktop's palette, input methods, HiDPI and a screen
// reader's view (AT-SPI). It is a view of the client's core (../core) and nothing else: the running
// client wires the same connection, commands, names heard, name file, history and display rule as
// the terminal client's, and its room feed hands over the lines, cut, safe and a frame at a time.
//
// Its parts: the conversation (window_list.cpp), the dialogs (window_dialogs.cpp), attention while
// behind others (window_attention.cpp), the text's conversions (window_text.cpp); here, the main
// window, its menu, its frames, and every way out.
#include "client/core/running_client.h"
#include "client/core/text.h"
#include "client/core/version.h"
#include "platform/settings.h"
#include "platform/terminal.h"
#include "window_attention.h"
#include "window_dialogs.h"
#include "window_list.h"
#include "window_text.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QEvent>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMetaObject>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char TITLE[] = "Chat";
const int FRAME_MS = 50;                    // the feed's frames are taken at most this often
const int INPUT_CHARS = 64 * 1024;          // characters the input box holds at most
const std::size_t FROM_HISTORY = 20;        // lines of the history listed when the find goes on into it
const char WINDOW_FILE[] = "window-linux";  // where the window's size and place are kept

const char USAGE[] =
    "usage: chat_window [--name NAME] [--no-history] [HOST]\n"
    "       chat_window --version\n"
    "Without HOST, waits for a relay's announcement on the local network and connects to the first\n"
    "relay heard (the one of last time first); when the connection is lost, it finds the relay again.\n"
    "With --name, every line sent begins with \"NAME: \"; without it, the name is asked for once and\n"
    "remembered (the terminal client uses the same name). The window keeps what it shows, and shows\n"
    "the last lines again at the next start (--no-history keeps nothing in this run); Ctrl+F finds\n"
    "text, on into the history. Type /help in the window for its commands.\n";

running_client *client = nullptr;  // once there is one
volatile std::sig_atomic_t signalled = 0;  // a signal asked the window to close

// Every way out of the window's process: the history written out (with a bounded wait), then the
// end. The core's threads are never joined: the process ends under them.
[[noreturn]] void exit_client(int status)
{
    if (client != nullptr)
        client->leave();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

void on_signal(int)
{
    signalled = 1;
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
        int room_left = INPUT_CHARS - static_cast<int>(toPlainText().size());
        if (source->hasText() && room_left > 0)
            insertPlainText(source->text().left(room_left));
    }
};

class chat_window : public QMainWindow {
public:
    chat_window() : attention_(this)
    {
        setWindowTitle(QString::fromLatin1(TITLE));
        resize(720, 520);
        auto *split = new QSplitter(Qt::Vertical, this);
        list_ = new conversation(split);
        list_->on_link = [this](const QString &address) { open_link(address); };
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
        status_->setTextFormat(Qt::PlainText);  // a name or an address is shown, never read as markup
        status_->setAccessibleDescription(QStringLiteral("Status"));  // its name is its text
        statusBar()->addWidget(status_, 1);
        progress_ = new QProgressBar(this);
        progress_->setRange(0, 100);
        progress_->setMaximumWidth(160);
        progress_->setAccessibleName(QStringLiteral("Transfer progress"));
        progress_->hide();  // shown while files move
        statusBar()->addPermanentWidget(progress_);
        make_menu();
        setAcceptDrops(true);  // a file dropped on the window is shared
        setFocusProxy(input_);
        input_->setFocus();
    }

    // Each frame: what the feed hands over (a frame's lines at most: the rest wait for the next
    // frames), the status, the attention the lines call for; and the ways out that come from outside.
    void frame()
    {
        if (signalled) {
            close();
            return;
        }
        client->feed().take(frame_);
        if (frame_.status_changed)
            show_status(frame_.status);
        if (!frame_.lines.empty()) {
            attention_.attend(frame_);
            list_->append(frame_.lines);
        }
        if (frame_.lost >= 0)
            exit_client(frame_.lost);
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
            attention_.seen();
            input_->setFocus();
        }
        QMainWindow::changeEvent(e);
    }
    void closeEvent(QCloseEvent *e) override
    {
        QByteArray place = saveGeometry().toBase64();
        char why[512];
        write_settings_file(WINDOW_FILE, place.constData(), static_cast<std::size_t>(place.size()), why, sizeof why);
        QMainWindow::closeEvent(e);
    }

    void dragEnterEvent(QDragEnterEvent *e) override
    {
        if (e->mimeData()->hasUrls())
            e->acceptProposedAction();
    }

    void dropEvent(QDropEvent *e) override
    {
        for (const QUrl &url : e->mimeData()->urls())
            if (url.isLocalFile())
                share(url.toLocalFile());
        e->acceptProposedAction();
    }

private:
    // Offers a file to the room, as /share PATH does.
    void share(const QString &path)
    {
        if (!path.isEmpty())
            client->commands().entered("/share " + gb18030_text(path));
    }

    void show_status(const room_status &s)
    {
        std::string text = s.relay.empty() ? "looking for the relay"
                                           : (s.connected ? "relay " + s.relay : "relay " + s.relay + " lost, reconnecting");
        QString shown = shown_text(text);
        shown += QStringLiteral("   name: ") + (s.name.empty() ? QStringLiteral("(none)") : shown_text(s.name));
        if (s.waiting > 0)
            shown += QStringLiteral("   %1 %2 waiting").arg(s.waiting).arg(s.waiting == 1 ? "line" : "lines");
        if (!s.transfers.empty())  // the files moving lead the row
            shown = QString::fromUtf8(s.transfers.data(), static_cast<int>(s.transfers.size())) + QStringLiteral("   ") + shown;
        status_->setText(shown);
        if (s.percent >= 0) {
            progress_->setValue(s.percent);
            progress_->setAccessibleDescription(feed_text(s.transfers));
            progress_->show();
        } else {
            progress_->hide();
        }
        bell_->setChecked(s.bell);
    }

    // Each line in the input box goes as a line, a command or one for the room; the box is emptied.
    void send_typed()
    {
        QString typed = input_->toPlainText();
        input_->clear();
        for (const QString &line : typed.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")))) {
            if (!client->commands().entered(gb18030_text(line))) {  // /quit
                close();
                return;
            }
        }
    }

    // A click on a link: the address shown in full in the status bar, then opened by the desktop's
    // browser as an address, never as a command line.
    void open_link(const QString &address)
    {
        if (address.startsWith(QStringLiteral("get:"))) {  // a file offered, Download
            client->commands().entered("/get " + address.mid(4).toStdString());
            return;
        }
        statusBar()->showMessage(QStringLiteral("opening ") + address, 4000);
        QDesktopServices::openUrl(QUrl(address, QUrl::StrictMode));
    }

    // Ctrl+F: up from the selection (older), the case of letters aside; past the oldest line shown,
    // on into the history, whose newest lines that say it are listed at the bottom; then round from
    // the bottom again.
    void find_text()
    {
        bool ok = false;
        QString what = QInputDialog::getText(this, QStringLiteral("Find"), QStringLiteral("&Find in the conversation:"),
                                             QLineEdit::Normal, last_find_, &ok);
        if (!ok || what.isEmpty())
            return;
        last_find_ = what;
        if (from_bottom_)
            list_->moveCursor(QTextCursor::End);
        from_bottom_ = false;
        if (list_->find_up(what)) {
            list_->setFocus();
            return;
        }
        if (history_searched_ != what) {
            history_searched_ = what;
            // The history is searched on a thread of its own, never the window's; what it found is
            // said back here.
            statusBar()->showMessage(QStringLiteral("Searching the history..."));
            QPointer<QMainWindow> here(this);
            std::string text = gb18030_text(what);
            std::thread([here, text] {
                std::size_t found = client->commands().find_in_history(text, FROM_HISTORY);
                QMetaObject::invokeMethod(qApp, [here, found] {
                    if (here != nullptr)
                        here->statusBar()->showMessage(
                            found == 0 ? QStringLiteral("Not found in the conversation, nor in the history")
                                       : QStringLiteral("Not above: the history's lines that say it are listed at the bottom"),
                            6000);
                }, Qt::QueuedConnection);
            }).detach();
            from_bottom_ = true;  // where those lines are about to be
            return;
        }
        list_->moveCursor(QTextCursor::End);
        if (list_->find_up(what))
            list_->setFocus();
        else
            statusBar()->showMessage(QStringLiteral("Not found in the conversation"), 4000);
    }

    void make_menu()
    {
        QMenu *chat = menuBar()->addMenu(QStringLiteral("&Chat"));
        chat->addAction(QStringLiteral("&Name..."), this, [this] {
            std::string name = ask_name(this, client->commands().name());
            if (!name.empty())
                client->commands().change_name(name);
        });
        chat->addAction(QStringLiteral("&Relay..."), this, [this] { choose_relay(this, client->conn(), client->commands()); });
        bell_ = chat->addAction(QStringLiteral("&Sound and notification on mention"));
        bell_->setCheckable(true);
        bell_->setChecked(true);
        connect(bell_, &QAction::triggered, this, [](bool on) { client->commands().set_bell(on); });
        chat->addAction(QStringLiteral("&Share a file..."), this,
                        [this] { share(QFileDialog::getOpenFileName(this, QStringLiteral("Share a file with the room"))); });
        chat->addAction(QStringLiteral("Files &offered"), this, [] { client->commands().entered("/files"); });
        chat->addAction(QStringLiteral("&Download a file..."), this, [this] {
            // The number an offer shows with, "(/get N)".
            bool ok = false;
            int n = QInputDialog::getInt(this, QStringLiteral("Download a file"),
                                         QStringLiteral("The number of the file offered, as \"(/get N)\" after its line shows it:"),
                                         1, 1, 1000000, 1, &ok);
            if (ok)
                client->commands().entered("/get " + std::to_string(n));
        });
        QAction *find = chat->addAction(QStringLiteral("&Find..."), this, [this] { find_text(); });
        find->setShortcut(QKeySequence::Find);
        chat->addSeparator();
        QAction *quit = chat->addAction(QStringLiteral("&Quit"), this, [this] { close(); });
        quit->setShortcut(QKeySequence::Quit);
        QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
        help->addAction(QStringLiteral("&Commands"), this, [] { client->commands().entered("/help"); });
        help->addAction(QStringLiteral("&About"), this, [this] { show_about(this); });
    }

    conversation *list_ = nullptr;
    input_box *input_ = nullptr;
    QLabel *status_ = nullptr;
    QProgressBar *progress_ = nullptr;  // the files moving, how far
    QAction *bell_ = nullptr;
    attention attention_;
    room_frame frame_;  // the last taken, its storage used again
    QString last_find_;
    QString history_searched_;  // the text the history was last searched for, from Find
    bool from_bottom_ = false;  // the next find starts from the bottom
};

struct options {
    int name_arg = 0;  // the index of NAME in argv, if given
    std::string host;
    bool no_history = false;
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
        } else if (std::strcmp(a, "--no-history") == 0) {
            opts.no_history = true;
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
    std::string why = prepare_client(argv, opts.name_arg, &name);
    if (!why.empty()) {
        std::fprintf(stderr, "chat_window: %s\n", why.c_str());
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
    // A signal to end (the session ending, kill, Ctrl+C where it was started) closes the window as
    // Chat > Quit does: the history is written out.
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        std::signal(sig, on_signal);
    chat_window window;
    window.restore_place();
    window.show();
    std::vector<std::string> said;  // about the name file, before there is a feed to say it
    if (name.empty())  // the first start asks, offering the login name
        name = name_for_person([&window](const std::string &offered, const char *) { return ask_name(&window, offered); },
                               [&said](const std::string &s) { said.push_back(s); });
    client_options how;
    how.host = opts.host;
    how.name = name;
    how.no_history = opts.no_history;
    // The core lives as long as the process, as its threads do.
    static running_client running(how);
    client = &running;
    for (const std::string &s : said)
        running.feed().answer(s);
    running.start();
    QTimer frames;
    QObject::connect(&frames, &QTimer::timeout, &window, [&window] { window.frame(); });
    frames.start(FRAME_MS);
    app.exec();
    exit_client(0);
}
