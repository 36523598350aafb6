// The desktop program in one process, offscreen: the icon menu's levels and rows, the switches
// and what they govern, rows sending commands, the drawing of a row, the hand-over to a second
// program, commands forwarded from tallymere-cli, progress, and the order of Exit.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QAction>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>

#include <memory>

#include "auto/delay.h"
#include "auto/stack.h"
#include "phone/device_deliver.h"
#include "phone/device_seed.h"
#include "phone/device_store.h"
#include "remote/remote.h"
#include "cli_runner.h"
#include "desktop/app.h"
#include "desktop/busy.h"
#include "desktop/main_window.h"
#include "desktop/menu.h"
#include "desktop/menu_screen.h"
#include "desktop_fixture.h"
#include "platform/channel.h"
#include "remote/autostart.h"
#include "platform/qt/qt_window.h"
#include "shell/app.h"
#include "shell/commands.h"
#include "support/fatal.h"
#include "support/main_window.h"
#include "support/pass_control.h"

namespace {

namespace ui = platform::ui;
using testing_support::RecordingPort;
using testing_support::RunWhileEventsRun;

QStringList Strings(std::initializer_list<const char*> texts) {
    QStringList list;
    for (const char* text : texts) list << QString::fromUtf8(text);
    return list;
}

QString Title(std::uint32_t item) { return QString::fromStdU16String(desktop::menu->title[item]); }

}  // namespace

class DesktopTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<testing_support::TempDevice> device_;
    std::unique_ptr<QTemporaryDir> config_;  // the user's configuration folder (autostart)
    RecordingPort port_;
    ui::Port* oldPort_ = nullptr;
    ui::HWND window_ = nullptr;
    bool started_ = false;
    int lockFd_ = -1;

    void Start() {
        desktop::StartOptions options;
        options.holdsDevice = true;
        desktop::StartProgram(options);
        int code = -1;
        QVERIFY(desktop::CreateMainWindow(options, &code));
        window_ = tallymere::mainWindow.load();
        started_ = true;
    }

    void Stop() {
        if (!started_) return;
        started_ = false;
        if (!window_->IsDestroyed()) ui::DestroyWindow(window_);
        desktop::EndProgram([] { tallymere::EndApp(tallymere::StartMode::Resident); });
        tallymere::mainWindow.store(nullptr);
    }

    // Holds the device as a running program does: its lock (taken on a descriptor of its own, so
    // that every test's device can be held) and its channel.
    void HoldAndServe() {
        lockFd_ = ::open(device_->Host(".platform/program.lock").c_str(), O_RDWR | O_CREAT, 0600);
        QVERIFY(lockFd_ >= 0);
        QCOMPARE(::flock(lockFd_, LOCK_EX | LOCK_NB), 0);
        const std::string pid = std::to_string(::getpid()) + "\n";
        QCOMPARE(::pwrite(lockFd_, pid.data(), pid.size(), 0), static_cast<ssize_t>(pid.size()));
        QVERIFY(platform::device::OpenChannel());
        remote::ServeRemoteRequests(true);
    }

    QStringList Rows() const {
        QStringList rows;
        for (int i = 0; i < desktop::menuList->count(); ++i) {
            rows << Title(desktop::menuList->item(i)->data(Qt::UserRole).toUInt());
        }
        return rows;
    }

    int RowOf(const QString& title) const { return Rows().indexOf(title); }

    void Activate(const QString& title, int code = desktop::NM_CLICK) {
        const int row = RowOf(title);
        QVERIFY2(row >= 0, qPrintable(title));
        desktop::menuList->setCurrentRow(row);
        QCOMPARE(desktop::OnMenuNotify(code), ui::LRESULT{0});
    }

    // The first description line of the row titled `title` on the level shown.
    QString Line1(const QString& title) const {
        const int row = RowOf(title);
        if (row < 0) return {};
        return QString::fromStdU16String(
            desktop::menu->line1[desktop::menuList->item(row)->data(Qt::UserRole).toUInt()]);
    }

    std::vector<std::filesystem::path> TextFiles() const {
        std::vector<std::filesystem::path> files;
        std::error_code ec;
        const auto root = device_->Host("Program Files/Tallymere/Tallyport");
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->path().extension() == ".txt") files.push_back(it->path());
        }
        return files;
    }

    std::uintmax_t ArchiveIndexBytes() const {
        std::error_code ec;
        const auto size =
            std::filesystem::file_size(device_->Host("Program Files/Tallymere/Tallymere/Messages.ndx"), ec);
        return ec ? 0 : size;
    }

    void Deliver(const std::u16string& body) {
        phone::Phone phone;
        phone::Delivery d;
        d.body = body;
        d.from = u"+4917012345";
        d.deliveryTime = platform::FromUnixTime(1200000000);
        phone::Deliver(phone, d);
    }

private slots:
    void init() {
        device_ = std::make_unique<testing_support::TempDevice>();
        config_ = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", config_->path().toLocal8Bit());
        port_.Forget();
        port_.answer = ui::IDOK;
        port_.onBox = nullptr;
        oldPort_ = ui::SetPort(&port_);
        // A test that closed the window asked every pass to stop, as the ending program does.
        tallymere::ClearStopRequest();
    }

    void cleanup() {
        Stop();
        remote::StopRemoteRequests();
        if (lockFd_ >= 0) ::close(lockFd_);
        lockFd_ = -1;
        ui::SetPort(oldPort_);
        device_.reset();
    }

    void theFiveLevelsShowTheirRowsInOrderAndBackGoesUp() {
        Start();
        const QStringList top = Strings({"Message Commands", "Setting", "About", "Minimize", "Exit"});
        const QStringList messages = Strings({"Backup", "Restore", "Export", "Back"});
        QCOMPARE(Rows(), top);
        Activate("Message Commands");
        QCOMPARE(Rows(), messages);
        Activate("Backup");
        QCOMPARE(Rows(), Strings({"Backup All", "Backup by Selection", "Automatic Backup", "Back"}));
        Activate("Back");
        QCOMPARE(Rows(), messages);
        Activate("Restore", desktop::LVN_ITEMACTIVATE);
        QCOMPARE(Rows(), Strings({"Restore Normal", "Restore Extra", "Restore by Selection", "Back"}));
        QCOMPARE(QString::fromStdU16String(desktop::menu->line3[16]), QString("the original position)"));
        Activate("Back", desktop::LVN_ITEMACTIVATE);
        Activate("Export");
        QCOMPARE(Rows(), Strings({"Export All", "Export by Selection", "Automatic Export", "Back"}));
        Activate("Back");
        Activate("Back");
        QCOMPARE(Rows(), top);

        // Nothing selected, or another notification: nothing happens.
        desktop::menuList->clearSelection();
        desktop::menuList->setCurrentRow(-1);
        QCOMPARE(desktop::OnMenuNotify(desktop::NM_CLICK), ui::LRESULT{1});
        desktop::menuList->setCurrentRow(RowOf("Message Commands"));
        QCOMPARE(desktop::OnMenuNotify(-12), ui::LRESULT{0});
        QCOMPARE(Rows(), top);
        QVERIFY(port_.Boxes().empty());
    }

    void aClickOrEnterOnARowActivatesItOnce() {
        Start();
        ui::ShowWindow(window_, ui::SW_SHOW);
        QVERIFY(QTest::qWaitForWindowExposed(desktop::MainWidget()));
        auto rowCenter = [](const QString& title, const DesktopTest* self) {
            return desktop::menuList->visualItemRect(desktop::menuList->item(self->RowOf(title))).center();
        };
        QTest::mouseClick(desktop::menuList->viewport(), Qt::LeftButton, {}, rowCenter("Message Commands", this));
        QTRY_COMPARE(Rows(), Strings({"Backup", "Restore", "Export", "Back"}));
        QTest::qWait(100);
        QCOMPARE(Rows(), Strings({"Backup", "Restore", "Export", "Back"}));  // once, not twice
        // A click below the rows runs nothing.
        QTest::mouseClick(desktop::menuList->viewport(), Qt::LeftButton, {},
                          QPoint(20, desktop::menuList->viewport()->height() - 3));
        QTest::qWait(100);
        QCOMPARE(Rows(), Strings({"Backup", "Restore", "Export", "Back"}));
        desktop::menuList->setFocus();
        desktop::menuList->setCurrentRow(RowOf("Back"));
        QTest::keyClick(desktop::menuList, Qt::Key_Return);
        QTRY_COMPARE(Rows(), Strings({"Message Commands", "Setting", "About", "Minimize", "Exit"}));
    }

    void theSwitchesTellTheirStateAndGovernNewArrivals() {
        Start();
        QCOMPARE(tallymere::autoExport, 1u);
        QCOMPARE(tallymere::autoBackup, 0u);
        desktop::ShowLevel(6);
        QCOMPARE(Line1("Automatic Export"), QString("Automatic Export now is: ON"));
        Activate("Automatic Export");
        QCOMPARE(Line1("Automatic Export"), QString("Automatic Export now is: OFF"));
        QCOMPARE(Rows(), Strings({"Export All", "Export by Selection", "Automatic Export", "Back"}));
        QCOMPARE(tallymere::autoExport, 0u);

        // Both OFF: an arrival is neither exported nor archived.
        Deliver(u"while both are off");
        QTest::qWait(2500);
        QTRY_COMPARE(tallymere::delayQueue->count, 0u);
        QCOMPARE(TextFiles().size(), std::size_t{0});
        QCOMPARE(ArchiveIndexBytes(), std::uintmax_t{0});

        // Automatic Backup ON: the next arrival is archived, still not exported.
        desktop::ShowLevel(8);
        QCOMPARE(Line1("Automatic Backup"), QString("Automatic Backup now is: OFF"));
        Activate("Automatic Backup");
        QCOMPARE(Line1("Automatic Backup"), QString("Automatic Backup now is: ON"));
        Deliver(u"archived on arrival");
        QTRY_COMPARE_WITH_TIMEOUT(ArchiveIndexBytes(), std::uintmax_t{28}, 20000);
        QCOMPARE(TextFiles().size(), std::size_t{0});

        // Both ON: exported and archived.
        desktop::ShowLevel(6);
        Activate("Automatic Export");
        QCOMPARE(Line1("Automatic Export"), QString("Automatic Export now is: ON"));
        Deliver(u"exported and archived");
        QTRY_COMPARE_WITH_TIMEOUT(ArchiveIndexBytes(), std::uintmax_t{56}, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(TextFiles().size(), std::size_t{1}, 20000);
        QVERIFY(testing_support::ReadHostFile(TextFiles()[0]).find("exported and archived") != std::string::npos);
        QVERIFY2(port_.Boxes().empty(), "the switches and the automatic mode show no box");
    }

    void aRowSendsItsCommandAndTheLevelStays() {
        {
            phone::Phone phone;
            phone::Seed(phone, 12, 7);
        }
        Start();
        desktop::ShowLevel(8);
        Activate("Backup All");
        QCOMPARE(port_.Texts(), std::vector<std::string>{"Message backup was successfull. (12 messages)"});
        QCOMPARE(port_.Boxes()[0].caption, std::string("Tallymere"));
        QCOMPARE(Rows(), Strings({"Backup All", "Backup by Selection", "Automatic Backup", "Back"}));

        // Restore Normal asks first; Cancel leaves everything as it was and shows nothing more.
        port_.Forget();
        port_.answer = ui::IDCANCEL;
        desktop::ShowLevel(7);
        Activate("Restore Normal");
        QCOMPARE(port_.Boxes().size(), std::size_t{1});
        QCOMPARE(port_.Boxes()[0].style, ui::MB_OKCANCEL);

        // The profiles do nothing (the dialogs' commands are in dialogs_test.cpp).
        port_.Forget();
        port_.answer = ui::IDOK;
        ui::SendMessageW(window_, ui::WM_COMMAND, tallymere::kCommandBackupByProfile, 0);
        ui::SendMessageW(window_, ui::WM_COMMAND, tallymere::kCommandExportByProfile, 0);
        QVERIFY(port_.Boxes().empty());

        // OK and Minimize hide the window behind the tray icon; without a tray they minimize it
        // to the task bar, where it can be reached. The program goes on.
        for (std::uint32_t command : {tallymere::kCommandOk, tallymere::kCommandMinimize}) {
            ui::ShowWindow(window_, ui::SW_SHOW);
            QVERIFY(desktop::MainWidget()->isVisible());
            ui::SendMessageW(window_, ui::WM_COMMAND, command, 0);
            if (desktop::TrayShown()) {
                QVERIFY(!desktop::MainWidget()->isVisible());
            } else {
                QVERIFY(desktop::MainWidget()->isMinimized());
            }
            QVERIFY(!window_->IsDestroyed());
        }
    }

    void drawMenuItemPutsPictureTextsAndHighlightInPlace() {
        Start();
        QPalette palette;
        palette.setColor(QPalette::Highlight, QColor(0, 0, 255));
        palette.setColor(QPalette::HighlightedText, QColor(255, 255, 0));
        palette.setColor(QPalette::Base, QColor(255, 255, 255));
        palette.setColor(QPalette::Text, QColor(0, 0, 0));
        auto draw = [&](std::uint32_t item, bool selected) {
            QImage image(240, 50, QImage::Format_RGB32);
            image.fill(Qt::red);
            QPainter painter(&image);
            desktop::DrawMenuItem(painter, image.rect(), item, selected, palette);
            return image;
        };
        // Counts the pixels in a band of the row that are `color`, or mostly `color` where the
        // text's edges are smoothed into the background.
        auto count = [](const QImage& image, QRect band, QColor color) {
            int n = 0;
            for (int y = band.top(); y <= band.bottom(); ++y) {
                for (int x = band.left(); x <= band.right(); ++x) {
                    const QColor c = image.pixelColor(x, y);
                    const int distance = std::abs(c.red() - color.red()) + std::abs(c.green() - color.green()) +
                                         std::abs(c.blue() - color.blue());
                    n += distance < 200 ? 1 : 0;
                }
            }
            return n;
        };
        const QImage restoreNormal = draw(16, true);
        const QImage picture = desktop::menuIcons[8].toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(picture.size(), QSize(41, 41));
        // The picture at (3, 3): its opaque middle is copied as it is.
        for (QPoint p : {QPoint(20, 20), QPoint(10, 30), QPoint(30, 12)}) {
            QCOMPARE(restoreNormal.pixelColor(p + QPoint(3, 3)), picture.pixelColor(p));
        }
        // Everything else is on the highlight colour, with text in the highlight-text colour 50
        // pixels in: the title and three lines, each in its band of 12 pixels.
        QCOMPARE(restoreNormal.pixelColor(1, 1), QColor(0, 0, 255));
        QCOMPARE(restoreNormal.pixelColor(239, 49), QColor(0, 0, 255));
        QCOMPARE(count(restoreNormal, QRect(0, 0, 240, 50), Qt::red), 0);
        QCOMPARE(count(restoreNormal, QRect(45, 0, 5, 50), QColor(255, 255, 0)), 0);
        for (int band = 0; band < 4; ++band) {
            QVERIFY2(count(restoreNormal, QRect(50, band * 12, 190, 12), QColor(255, 255, 0)) > 20,
                     qPrintable(QString("band %1").arg(band)));
        }
        // Not selected: the background colour and the text colour. "Exit" has one line only.
        const QImage exit = draw(0, false);
        QCOMPARE(exit.pixelColor(1, 1), QColor(255, 255, 255));
        QCOMPARE(count(exit, QRect(0, 0, 240, 50), QColor(0, 0, 255)), 0);
        QVERIFY(count(exit, QRect(50, 0, 190, 12), QColor(0, 0, 0)) > 20);
        QVERIFY(count(exit, QRect(50, 12, 190, 12), QColor(0, 0, 0)) > 20);
        QCOMPARE(count(exit, QRect(50, 25, 190, 25), QColor(0, 0, 0)), 0);
        QCOMPARE(desktop::menuIcons[0].size(), QSize(42, 41));
    }

    void aSecondProgramIsAnsweredAtOnceWhileACommandShowsABox() {
        Start();
        HoldAndServe();
        ui::ShowWindow(window_, ui::SW_HIDE);  // as it starts where there is a tray
        QVERIFY(!desktop::MainWidget()->isVisible());

        // Mended: while a command's box was up, a second program waited for it to be closed.
        // The window is shown (above the box) at once.
        std::optional<remote::RemoteResult> answer;
        std::thread second;
        bool shownDuringTheCommand = false;
        port_.onBox = [&] {
            second = std::thread([&] { answer = remote::AskToShow(); });
            QTest::qWait(700);
            shownDuringTheCommand = desktop::MainWidget()->isVisible();
        };
        ui::SendMessageW(window_, ui::WM_COMMAND, tallymere::kCommandExportAll, 0);
        QVERIFY(shownDuringTheCommand);
        QVERIFY(RunWhileEventsRun([&] { second.join(); }));
        QVERIFY(answer.has_value());
        QVERIFY(answer->windowShown);
        QVERIFY(desktop::MainWidget()->isVisible());
    }

    void commandsFromTheCommandLineRunHereWithoutBoxes() {
        {
            phone::Phone phone;
            phone::Seed(phone, 5, 3);
        }
        Start();
        HoldAndServe();
        testing_support::CliResult r;
        auto run = [&](std::vector<std::string> args) {
            args.insert(args.begin(), {"--device", device_->Folder()});
            QVERIFY(RunWhileEventsRun([&] { r = testing_support::RunCli(args); }));
        };
        run({"backup-all"});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, std::string("Message backup was successfull. (5 messages)\n"));
        QCOMPARE(r.err, std::string());
        run({"settings"});
        QCOMPARE(r.out, "Output directory: \"\\Program Files\\Tallymere\" (" + device_->Folder() +
                            "/Program Files/Tallymere)\nStart at login: off\n");
        // Backup and export by selection, and the selection tree, are carried out here too.
        run({"backup", "--select", "SMS"});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, std::string("Message backup was successfull. (0 messages)\n"));
        run({"export", "--select", "SMS/Nowhere"});
        QCOMPARE(r.status, 2);
        QCOMPARE(r.err, std::string("tallymere-cli: --select SMS/Nowhere: no such store, folder or message\n"));
        run({"export", "--list"});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.rfind("SMS (5)\n", 0) == 0, r.out.c_str());
        run({"check"});
        QCOMPARE(r.status, 0);
        QVERIFY(r.out.find("Index entries: 5 (5 present, 0 absent)") != std::string::npos);
        // Nothing is missing: nothing is asked and nothing is sent.
        run({"restore", "extra"});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, std::string("Nothing to restore.\n"));
        QVERIFY2(port_.Boxes().empty(), "the running program shows no box for a forwarded command");
        // A program command that is not forwarded is refused as before.
        run({"start"});
        QCOMPARE(r.status, 3);
        const std::string refused =
            "Tallymere is already running on this device (process " + std::to_string(::getpid()) + ": ";
        QCOMPARE(r.err.substr(0, refused.size()), refused);
        QVERIFY2(r.err.find("). Use --wait to wait for it.\n") != std::string::npos, r.err.c_str());
    }

    void startAtLoginInTheFileMenuWritesAndRemovesTheEntry() {
        Start();
        QToolButton* file = nullptr;
        for (QToolButton* key : desktop::menuBar->findChildren<QToolButton*>()) {
            if (key->text() == QStringLiteral("File")) file = key;
        }
        QVERIFY(file && file->menu());
        QMenu* menu = file->menu();
        QStringList entries;
        for (QAction* action : menu->actions())
            entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
        QCOMPARE(entries, Strings({"Settings", "Start at login", "-", "About", "Exit"}));
        QAction* startAtLogin = menu->actions().at(1);
        QVERIFY(startAtLogin->isCheckable());
        QVERIFY(!startAtLogin->isChecked());
        const std::filesystem::path entry = config_->filePath("autostart/tallymere.desktop").toStdString();
        QVERIFY(!std::filesystem::exists(entry));

        startAtLogin->trigger();
        QVERIFY(startAtLogin->isChecked());
        QVERIFY(testing_support::ReadHostFile(entry).find("--device \"" + device_->Folder() + "\"") !=
                std::string::npos);
        QCOMPARE(remote::ReadAutostart().device, device_->Folder());
        menu->popup(QPoint(0, 0));
        QTRY_VERIFY(menu->isVisible());
        if (const QByteArray shot = qgetenv("TALLYMERE_SCREENSHOT"); !shot.isEmpty())
            menu->grab().save(QString::fromLocal8Bit(shot));
        menu->hide();
        startAtLogin->trigger();
        QVERIFY(!startAtLogin->isChecked());
        QVERIFY(!std::filesystem::exists(entry));

        // Switched on elsewhere (tallymere-cli settings --autostart on): the menu shows it when it opens.
        QVERIFY(remote::SetAutostart(true, device_->Folder(), nullptr));
        menu->popup(QPoint(0, 0));
        QTRY_VERIFY(startAtLogin->isChecked());
        menu->hide();
        QVERIFY(remote::SetAutostart(false, device_->Folder(), nullptr));
        menu->popup(QPoint(0, 0));
        QTRY_VERIFY(!startAtLogin->isChecked());
        menu->hide();
        QVERIFY(port_.Boxes().empty());

        // Where the entry cannot be written, a box says why and the switch stays off.
        const QString blocked = config_->filePath(QStringLiteral("blocked"));
        QFile(blocked).open(QIODevice::WriteOnly);
        qputenv("XDG_CONFIG_HOME", blocked.toLocal8Bit());
        startAtLogin->trigger();
        QVERIFY(!startAtLogin->isChecked());
        QCOMPARE(port_.Boxes().size(), std::size_t{1});
        QCOMPARE(port_.Boxes()[0].caption, std::string("Tallymere Settings"));
        QVERIFY(port_.Boxes()[0].text.rfind("Cannot change Start at login: ", 0) == 0);
    }

    // Mended: the progress line was cut at the window's width, the Restore rows' descriptions at
    // 240 px, the profiles looked usable and the tray icon said nothing.
    void smallThingsAreReadableAtThePhonesWidth() {
        Start();
        ui::ShowWindow(window_, ui::SW_SHOW);
        desktop::MainDialog* dialog = desktop::MainDialogWidget();
        QCOMPARE(dialog->width(), desktop::kPhoneWidth);
        const QString longText =
            desktop::ProgressText("Restore Normal", 7648, 20000) + QString(" and more").repeated(8);
        dialog->ShowProgress(longText);
        QCOMPARE(dialog->ProgressText(), longText);
        QVERIFY(dialog->ProgressShownText().endsWith(QChar(0x2026)));
        auto* line = dialog->findChild<QLabel*>("progress");
        QVERIFY(line != nullptr);
        QVERIFY(line->fontMetrics().horizontalAdvance(dialog->ProgressShownText()) <= dialog->width());
        QCOMPARE(line->toolTip(), longText);
        dialog->HideProgress();

        // Every row's whole text is its tooltip; the Restore rows' descriptions are drawn whole or
        // elided on their third line, never cut on the first.
        bool restoreRowSeen = false;
        for (int r = 0; r < desktop::menuList->count(); ++r) {
            QVERIFY(!desktop::menuList->item(r)->data(Qt::ToolTipRole).toString().isEmpty());
        }
        for (std::uint32_t i = 0; i < desktop::menu->count; ++i) {
            if (desktop::menu->title[i] != u"Restore Normal") continue;
            restoreRowSeen = true;
            QImage row(desktop::kPhoneWidth, desktop::kRowHeight, QImage::Format_ARGB32);
            row.fill(Qt::white);
            QPainter painter(&row);
            desktop::DrawMenuItem(painter, row.rect(), i, false, dialog->palette());
            painter.end();
            // Ink on the third description line (the fourth line of the row).
            bool ink = false;
            for (int y = 3 * 12 + 2; y < desktop::kRowHeight - 2 && !ink; ++y) {
                for (int x = 50; x < row.width() && !ink; ++x) ink = qGray(row.pixel(x, y)) < 128;
            }
            QVERIFY2(ink, "the description wraps onto the third line");
        }
        QVERIFY(restoreRowSeen);

        // The profiles are greyed in the Message menu.
        int greyed = 0;
        for (QAction* action : desktop::menuBar->findChildren<QAction*>()) {
            if (action->text().endsWith("by Profile")) {
                QVERIFY(!action->isEnabled());
                ++greyed;
            }
        }
        QCOMPARE(greyed, 2);

        // The tray icon tells whether Automatic Export is ON.
        if (desktop::trayIcon != nullptr) {
            QCOMPARE(desktop::trayIcon->toolTip(), QString("Tallymere\nAutomatic Export: ON"));
            tallymere::autoExport = 0;
            desktop::UpdateTrayToolTip();
            QCOMPARE(desktop::trayIcon->toolTip(), QString("Tallymere\nAutomatic Export: OFF"));
            tallymere::autoExport = 1;
        }
    }

    void progressShowsAfterHalfASecondWithABusyCursor() {
        Start();
        ui::ShowWindow(window_, ui::SW_SHOW);
        desktop::MainDialog* dialog = desktop::MainDialogWidget();
        {
            desktop::BusyScope busy("Backup All");
            QVERIFY(QGuiApplication::overrideCursor() != nullptr);
            QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
            desktop::ShowWalkProgress(3, 0);
            QVERIFY2(!dialog->ProgressShown(), "a short walk shows nothing");
            QTest::qSleep(600);
            desktop::ShowWalkProgress(40, 0);
            QVERIFY(dialog->ProgressShown());
            QCOMPARE(dialog->ProgressText(), QString("Backup All: 40 messages"));
        }
        QVERIFY(!dialog->ProgressShown());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        QCOMPARE(desktop::ProgressText("Export All", 1200, 5000), QString("Export All: 1,200 of 5,000"));
    }

    void withoutATrayTheWindowStartsShownAndClosingItEndsTheProgram() {
        if (QSystemTrayIcon::isSystemTrayAvailable()) QSKIP("this desktop has a tray");
        Start();
        QVERIFY(desktop::MainWidget()->isVisible());
        desktop::MainWidget()->close();
        QTRY_VERIFY(window_->IsDestroyed());
    }

    // Exit chosen while Export All works (the tray's menu, whose choice reaches the program while
    // the pass runs): the pass stops at its next message with no result box, keeps what it
    // exported, and the window closes; export-all then does the rest, each message once.
    void exitDuringAPassStopsItAtTheNextMessageAndEndsTheProgram() {
        constexpr std::uint32_t kMessages = 600;
        {
            phone::Phone phone;
            phone::Seed(phone, kMessages, 11);
        }
        Start();
        desktop::InstallWalkProgress();
        QVERIFY(desktop::trayIcon && desktop::trayIcon->contextMenu());
        QAction* exit = nullptr;
        for (QAction* action : desktop::trayIcon->contextMenu()->actions()) {
            if (action->text() == "Exit") exit = action;
        }
        QVERIFY(exit != nullptr);
        const auto listed = [this] {
            std::error_code ec;
            const auto size =
                std::filesystem::file_size(device_->Host("Program Files/Tallymere/Tallyport/Messages.ndx"), ec);
            return ec ? std::uintmax_t{0} : size / 28;
        };
        // Chosen once the pass has done fifty messages (the timer runs between two of them).
        std::uint32_t doneWhenChosen = 0;
        QTimer chooser;
        QObject::connect(&chooser, &QTimer::timeout, [&] {
            if (!desktop::PassAtWork() || tallymere::PassDone() < 50) return;
            chooser.stop();
            doneWhenChosen = tallymere::PassDone();
            exit->trigger();
        });
        chooser.start(1);
        ui::PostMessageW(window_, ui::WM_COMMAND, tallymere::kCommandExportAll, 0);
        QTRY_VERIFY_WITH_TIMEOUT(window_->IsDestroyed(), 120000);
        tallymere::SetPassProgress({});
        QVERIFY2(doneWhenChosen > 0, "Exit was not chosen during the pass");
        QVERIFY2(port_.Boxes().empty(), "a stopped pass shows no result box");
        const std::uintmax_t kept = listed();
        QVERIFY2(kept >= doneWhenChosen && kept <= doneWhenChosen + 1, qPrintable(QString::number(kept)));
        Stop();
        const testing_support::CliResult rest = testing_support::RunCli({"--device", device_->Folder(), "export-all"});
        QCOMPARE(rest.status, 0);
        QCOMPARE(rest.out, std::to_string(kMessages - kept) + " messages exported successfully.\n");
        QCOMPARE(listed(), std::uintmax_t{kMessages});
    }

    void exitRemovesTheTrayIconBeforeEndApp() {
        Start();
        QVERIFY(desktop::trayIcon->isVisible());
        ui::SendMessageW(window_, ui::WM_COMMAND, tallymere::kCommandExit, 0);
        QVERIFY(window_->IsDestroyed());
        bool trayGoneFirst = false;
        bool menuGoneFirst = false;
        started_ = false;
        desktop::EndProgram([&] {
            trayGoneFirst = desktop::trayIcon && !desktop::trayIcon->isVisible();
            menuGoneFirst = desktop::menu == nullptr && desktop::menuBar == nullptr;
            QVERIFY(tallymere::recentIds != nullptr);
            tallymere::EndApp(tallymere::StartMode::Resident);
        });
        QVERIFY(trayGoneFirst);
        QVERIFY(menuGoneFirst);
        QVERIFY(tallymere::recentIds == nullptr);
        QVERIFY(desktop::MainWidget() == nullptr);
        tallymere::mainWindow.store(nullptr);
    }
};

QTEST_MAIN(DesktopTest)
#include "desktop_test.moc"
