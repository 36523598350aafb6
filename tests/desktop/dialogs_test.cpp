// The program's dialogs in the desktop program, offscreen and driven as a user drives them: the
// Qt tree port on its own, ticks and folders made in place in the selection dialog, a dialog
// closed without Done, the settings dialog with its folder browser, the about dialog, a
// message arriving while the selection dialog is up during Export by Selection, and the
// selection dialog's own progress while its pass runs.
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLocale>
#include <QRegularExpression>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include <memory>

#include "auto/delay.h"
#include "phone/device_deliver.h"
#include "phone/device_seed.h"
#include "phone/device_store.h"
#include "desktop/app.h"
#include "desktop/busy.h"
#include "desktop/dialogs.h"
#include "desktop/main_window.h"
#include "desktop_fixture.h"
#include "platform/qt/qt_dialog.h"
#include "platform/qt/qt_ui.h"
#include "platform/tree_memory.h"
#include "shell/app.h"
#include "shell/commands.h"
#include "shell/restore_dialog.h"
#include "shell/selection_dialog.h"
#include "support/fatal.h"
#include "support/main_window.h"
#include "support/pass_control.h"
#include "support/settings.h"
#include "support/tree_items.h"

namespace {

namespace qt = platform::qt;
namespace tree = platform::tree;
namespace ui = platform::ui;
using tallymere::HTREEITEM;
using tallymere::kNotSelected;
using tallymere::kPartlySelected;
using tallymere::kSelected;

// Opens a dialog with `open` and plays its user with `user` once it is up. Whatever `user`
// leaves open is closed after it, so that a failed check never leaves the test waiting.
void WithDialog(const std::function<void()>& open, const std::function<void(qt::QtDialog&)>& user) {
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        qt::QtDialog* dialog = desktop::DialogHost().Current();
        QVERIFY(dialog != nullptr);
        user(*dialog);
        if (dialog->Window()->isVisible()) dialog->Window()->close();
    });
    timer.start(0);
    open();
}

QString Text(const tree::TreeView& t, HTREEITEM item) { return QString::fromStdU16String(t.GetItemText(item)); }

// The child of `parent` whose label starts with `label`.
HTREEITEM Item(const tree::TreeView& t, HTREEITEM parent, std::u16string_view label) {
    for (HTREEITEM c = t.GetChild(parent); c; c = t.GetNextSibling(c)) {
        if (t.GetItemText(c).starts_with(label)) return c;
    }
    return {};
}

std::uint32_t State(const tree::TreeView& t, HTREEITEM item) { return tallymere::GetItemState(t, item); }

void ClickPart(qt::QtTree& t, HTREEITEM item, std::uint32_t part) {
    const QRect where = t.PartRect(item, part);
    QVERIFY2(!where.isEmpty(), qPrintable(Text(t, item)));
    QTest::mouseClick(t.Widget()->viewport(), Qt::LeftButton, {}, where.center());
}

// A click on the item's expand button.
void ClickExpander(qt::QtTree& t, HTREEITEM item) {
    const QRect cell = t.Widget()->visualItemRect(t.ItemOf(item));
    const QPoint button(cell.left() - t.Widget()->indentation() / 2, cell.center().y());
    QCOMPARE(t.HitTest({button.x(), button.y()}).flags, tree::TVHT_ONITEMBUTTON);
    QTest::mouseClick(t.Widget()->viewport(), Qt::LeftButton, {}, button);
}

// The user moves onto the menu's first entry and clicks it.
void ChooseFromMenu(QMenu* menu) {
    const QPoint entry = menu->actionGeometry(menu->actions()[0]).center();
    QTest::mouseMove(menu, entry);
    QTest::mouseClick(menu, Qt::LeftButton, {}, entry);
}

// The whole texts (the tooltips) a label had whenever it was painted.
struct PaintedTexts : QObject {
    QStringList texts;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) texts << static_cast<QLabel*>(watched)->toolTip();
        return false;
    }
};

// Ticks every item at the top level (and so everything).
void CheckItemAll(tree::TreeView& t) {
    for (HTREEITEM c = t.GetChild({}); c; c = t.GetNextSibling(c)) tallymere::CheckItem(t, c, kSelected);
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<testing_support::TempDevice> device_;
    testing_support::RecordingPort port_;
    ui::Port* oldPort_ = nullptr;
    ui::HWND window_ = nullptr;
    bool started_ = false;

    void Start() {
        desktop::StartOptions options;
        options.holdsDevice = true;
        desktop::StartProgram(options);
        int code = -1;
        QVERIFY(desktop::CreateMainWindow(options, &code));
        window_ = tallymere::mainWindow.load();
        started_ = true;
    }

    void Command(std::uint32_t command) { ui::SendMessageW(window_, ui::WM_COMMAND, command, 0); }

    void Deliver(const std::u16string& folder, const std::u16string& subject) {
        phone::Phone phone;
        phone.MakeFolder(folder);
        phone::Delivery d;
        d.folder = folder;
        d.subject = subject;
        d.body = u"Body of " + subject;
        d.from = u"+4917012345";
        phone::Deliver(phone, d);
    }

    std::filesystem::path Output(const std::string& relative) const {
        return device_->Host("Program Files/Tallymere/" + relative);
    }

    std::vector<std::filesystem::path> TextFiles() const {
        std::vector<std::filesystem::path> files;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(Output("Tallyport"), ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->path().extension() == ".txt") files.push_back(it->path());
        }
        return files;
    }

    bool Exported(const std::string& subject) const {
        for (const auto& file : TextFiles()) {
            if (testing_support::ReadHostFile(file).find(subject) != std::string::npos) return true;
        }
        return false;
    }

    std::uintmax_t Size(const std::filesystem::path& file) const {
        std::error_code ec;
        const auto size = std::filesystem::file_size(file, ec);
        return ec ? 0 : size;
    }

private slots:
    void init() {
        device_ = std::make_unique<testing_support::TempDevice>();
        port_.Forget();
        oldPort_ = ui::SetPort(&port_);
    }

    void cleanup() {
        if (started_) {
            started_ = false;
            if (!window_->IsDestroyed()) ui::DestroyWindow(window_);
            desktop::EndProgram([] { tallymere::EndApp(tallymere::StartMode::Resident); });
            tallymere::mainWindow.store(nullptr);
            // The window's end asked Qt's event loop to end while none ran; Qt keeps that
            // request, and every later event loop (a dialog's) would end at once. An event
            // loop of the application's own takes it.
            QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
            QCoreApplication::exec();
        }
        ui::SetPort(oldPort_);
        device_.reset();
    }

    void theQtTreeKeepsItsItemsAsTheMemoryTreeDoesAndHitTestsWhatItDraws() {
        QWidget host;
        host.resize(240, 320);
        qt::QtTree qtTree(7, &host);
        qtTree.Widget()->setGeometry(0, 0, 240, 320);
        tree::MemoryTree memoryTree(7);
        for (tree::TreeView* t : std::vector<tree::TreeView*>{&qtTree, &memoryTree}) {
            const HTREEITEM b = tallymere::InsertTreeItem(*t, u"b", 0, {}, false);
            tallymere::InsertTreeItem(*t, u"A", 0, {}, false);
            tallymere::InsertTreeItem(*t, u"a message", 5, {}, true);
            const HTREEITEM y = tallymere::InsertTreeItem(*t, u"y", 0, b, false);
            tallymere::InsertTreeItem(*t, u"X", 0, b, false);
            QStringList order;
            for (HTREEITEM c = t->GetChild({}); c; c = t->GetNextSibling(c)) order << Text(*t, c);
            for (HTREEITEM c = t->GetChild(b); c; c = t->GetNextSibling(c)) order << Text(*t, c);
            QCOMPARE(order, QStringList({"A", "b", "a message", "X", "y"}));
            QCOMPARE(t->GetItemValue(Item(*t, {}, u"a message")), tree::LPARAM{5});
            QCOMPARE(State(*t, y), kNotSelected);
            // A deleted item's handles, and those below it, name nothing any more.
            QVERIFY(t->DeleteItem(b));
            QCOMPARE(t->GetItemText(y), std::u16string());
            QVERIFY(!t->GetParent(y));
            QVERIFY(!t->InsertItem({.parent = y, .text = u"z"}));
            const HTREEITEM again = tallymere::InsertTreeItem(*t, u"b", 0, {}, false);
            QVERIFY(again != b && again != y);
        }

        // What a row shows is where a click finds it.
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        const HTREEITEM folder = Item(qtTree, {}, u"b");
        const HTREEITEM child = tallymere::InsertTreeItem(qtTree, u"inner", 0, folder, false);
        QVERIFY(tallymere::SelectMessageInitImages(qtTree));
        qtTree.Expand(folder, tree::TVE_EXPAND);
        QTest::qWait(50);
        for (std::uint32_t part : {tree::TVHT_ONITEMSTATEICON, tree::TVHT_ONITEMICON, tree::TVHT_ONITEMLABEL}) {
            const QPoint at = qtTree.PartRect(child, part).center();
            const tree::HitTestInfo hit = qtTree.HitTest({at.x(), at.y()});
            QCOMPARE(hit.flags, part);
            QVERIFY(hit.item == child);
        }
        const QRect label = qtTree.PartRect(child, tree::TVHT_ONITEMLABEL);
        QCOMPARE(qtTree.HitTest({label.right() + 20, label.center().y()}).flags, tree::TVHT_ONITEMRIGHT);
        QCOMPARE(qtTree.HitTest({2, label.center().y()}).flags, tree::TVHT_ONITEMINDENT);
        QCOMPARE(qtTree.HitTest({10, 310}).flags, tree::TVHT_NOWHERE);

        // The label editor: refused by the owner, cancelled, or its text taken when the owner
        // answers so.
        tree::LRESULT beginAnswer = 1;
        tree::LRESULT endAnswer = 0;
        std::vector<std::optional<std::u16string>> ends;
        qtTree.SetNotify([&](const tree::Notification& n) -> tree::LRESULT {
            if (n.code == tree::TVN_BEGINLABELEDIT) return beginAnswer;
            if (n.code != tree::TVN_ENDLABELEDIT) return 0;
            ends.push_back(n.text);
            return endAnswer;
        });
        QVERIFY(!qtTree.EditLabel(child));
        QVERIFY(qtTree.Editor() == nullptr);
        beginAnswer = 0;
        QVERIFY(qtTree.EditLabel(child));
        qobject_cast<QLineEdit*>(qtTree.Editor())->setText("typed");
        QVERIFY(qtTree.EndEditLabelNow(true));
        QVERIFY(qtTree.EditLabel(child));
        qobject_cast<QLineEdit*>(qtTree.Editor())->setText("typed");
        QVERIFY(qtTree.EndEditLabelNow(false));
        QCOMPARE(Text(qtTree, child), QString("inner"));
        endAnswer = 1;
        QVERIFY(qtTree.EditLabel(child));
        qobject_cast<QLineEdit*>(qtTree.Editor())->setText("taken");
        QTest::keyClick(qtTree.Editor(), Qt::Key_Return);
        QTRY_COMPARE(Text(qtTree, child), QString("taken"));
        QCOMPARE(ends.size(), std::size_t{3});
        QVERIFY(!ends[0].has_value());
        QVERIFY(ends[1] == std::u16string(u"typed"));
        QVERIFY(!qtTree.EditingItem());
    }

    void ticksOnTheBoxesGoDownAndUpAndDoneBacksUpTheTicked() {
        for (const char16_t* subject : {u"one", u"two", u"three"}) Deliver(u"SMS/Inbox", subject);
        for (const char16_t* subject : {u"four", u"five"}) Deliver(u"SMS/Inbox/Old", subject);
        Deliver(u"SMS/Sent Items", u"six");
        Start();
        bool played = false;
        WithDialog([&] { Command(tallymere::kCommandBackupBySelection); },
                   [&](qt::QtDialog& dialog) {
                       QCOMPARE(dialog.TemplateId(), 120);
                       qt::QtTree& t = *dialog.Tree(1035);
                       const HTREEITEM sms = Item(t, {}, u"SMS");
                       QCOMPARE(Text(t, sms), QString("SMS (6)"));
                       QCOMPARE(t.GetItemImage(sms), tallymere::kImageClosedFolder);
                       ClickExpander(t, sms);
                       QVERIFY(t.ItemOf(sms)->isExpanded());
                       QCOMPARE(t.GetItemImage(sms), tallymere::kImageOpenFolder);
                       const HTREEITEM inbox = Item(t, sms, u"Inbox");
                       const HTREEITEM sent = Item(t, sms, u"Sent Items");
                       ClickExpander(t, inbox);
                       const HTREEITEM old = t.GetChild(inbox);
                       QCOMPARE(Text(t, old), QString("Old (2)"));
                       const HTREEITEM message = t.GetNextSibling(old);

                       ClickPart(t, old, tree::TVHT_ONITEMSTATEICON);
                       QCOMPARE(State(t, old), kSelected);
                       QCOMPARE(State(t, t.GetChild(old)), kSelected);
                       QCOMPARE(State(t, message), kNotSelected);
                       QCOMPARE(State(t, inbox), kPartlySelected);
                       QCOMPARE(State(t, sms), kPartlySelected);
                       // A click beside a box ticks nothing.
                       ClickPart(t, message, tree::TVHT_ONITEMLABEL);
                       QCOMPARE(State(t, message), kNotSelected);
                       // A partly ticked folder's box clears it and everything below it; a second click
                       // ticks it all.
                       ClickPart(t, inbox, tree::TVHT_ONITEMSTATEICON);
                       QCOMPARE(State(t, inbox), kNotSelected);
                       QCOMPARE(State(t, t.GetChild(old)), kNotSelected);
                       QCOMPARE(State(t, sms), kNotSelected);
                       ClickPart(t, inbox, tree::TVHT_ONITEMSTATEICON);
                       QCOMPARE(State(t, message), kSelected);
                       QCOMPARE(State(t, sms), kPartlySelected);
                       // Space ticks the current row as a click on its box does. The store stays partly
                       // ticked: its empty folders are not.
                       t.SelectItem(sent);
                       QTest::keyClick(t.Widget(), Qt::Key_Space);
                       QCOMPARE(State(t, sent), kSelected);
                       QCOMPARE(State(t, sms), kPartlySelected);
                       QVERIFY(dialog.DoneButton()->isVisible());
                       played = true;
                       QTest::mouseClick(dialog.DoneButton(), Qt::LeftButton);
                   });
        QVERIFY(played);
        QCOMPARE(port_.Texts(), std::vector<std::string>{"Message backup was successfull. (6 messages)"});
    }

    void restoreBySelectionShowsTheArchiveMarksDeletedMessagesAndRestoresTheTicked() {
        namespace mapi = platform::mapi;
        const auto deliver = [](const std::u16string& folder, const std::u16string& subject) {
            phone::Phone phone;
            phone.MakeFolder(folder);
            phone::Delivery d;
            d.folder = folder;
            d.subject = subject;
            d.body = u"Body of " + subject;
            d.from = u"+4917012345";
            return phone::Deliver(phone, d);
        };
        deliver(u"SMS/Inbox", u"one");
        const phone::Bytes two = deliver(u"SMS/Inbox", u"two");
        const phone::Bytes three = deliver(u"SMS/Inbox/Old", u"three");
        Start();
        Command(tallymere::kCommandBackupAll);
        // "two" and "three" go from the phone; a full backup marks them deleted.
        {
            phone::Phone phone;
            for (const auto& [path, id] : {std::pair{u"SMS/Inbox", two}, std::pair{u"SMS/Inbox/Old", three}}) {
                mapi::Ptr<mapi::IMAPIFolder> folder = phone.FindFolder(path);
                phone::Bytes copy = id;
                mapi::SBinary entry{static_cast<mapi::ULONG>(copy.size()), copy.data()};
                mapi::ENTRYLIST list{1, &entry};
                QCOMPARE(folder->DeleteMessages(&list, 0, nullptr, 0), mapi::HRESULT{0});
            }
        }
        Command(tallymere::kCommandBackupAll);
        port_.Forget();
        bool played = false;
        WithDialog([&] { Command(tallymere::kCommandRestoreBySelection); },
                   [&](qt::QtDialog& dialog) {
                       QCOMPARE(dialog.TemplateId(), 120);
                       qt::QtTree& t = *dialog.Tree(1035);
                       const HTREEITEM sms = Item(t, {}, u"SMS");
                       QCOMPARE(Text(t, sms), QString("SMS (3)"));
                       t.Expand(sms, tree::TVE_EXPAND);
                       const HTREEITEM inbox = Item(t, sms, u"Inbox");
                       QCOMPARE(Text(t, inbox), QString("Inbox (3)"));
                       t.Expand(inbox, tree::TVE_EXPAND);
                       const HTREEITEM old = Item(t, inbox, u"Old");
                       t.Expand(old, tree::TVE_EXPAND);
                       const HTREEITEM one = Item(t, inbox, u"+4917012345 [one]");
                       const HTREEITEM two = Item(t, inbox, u"+4917012345 [two]");
                       QVERIFY(one && two);
                       QCOMPARE(t.GetItemImage(one), tallymere::kImageMessage);
                       QCOMPARE(t.GetItemImage(two), tallymere::kImageDeletedMessage);
                       QCOMPARE(t.GetItemImage(t.GetChild(old)), tallymere::kImageDeletedMessage);
                       // Ticks: "one" (still on the phone) and "two"; "three" stays in the archive only.
                       ClickPart(t, one, tree::TVHT_ONITEMSTATEICON);
                       ClickPart(t, two, tree::TVHT_ONITEMSTATEICON);
                       QCOMPARE(State(t, inbox), kPartlySelected);
                       const QString shot = QStringLiteral(TALLYMERE_SCREENSHOT_DIR "/dialog-restore-selection.png");
                       QVERIFY(dialog.Window()->grab().save(shot));
                       played = true;
                       QTest::mouseClick(dialog.DoneButton(), Qt::LeftButton);
                   });
        QVERIFY(played);
        QCOMPARE(port_.Texts(), std::vector<std::string>{"Message restore was successfull. (1 messages)"});
        phone::Phone phone;
        platform::mapi::Ptr<platform::mapi::IMAPIFolder> inbox = phone.FindFolder(u"SMS/Inbox");
        QCOMPARE(phone.Messages(inbox.get()).size(), std::size_t{2});
        platform::mapi::Ptr<platform::mapi::IMAPIFolder> old = phone.FindFolder(u"SMS/Inbox/Old");
        QCOMPARE(phone.Messages(old.get()).size(), std::size_t{0});

        // Closed without Done: nothing restored, no box.
        port_.Forget();
        WithDialog([&] { Command(tallymere::kCommandRestoreBySelection); },
                   [&](qt::QtDialog& dialog) {
                       qt::QtTree& t = *dialog.Tree(1035);
                       CheckItemAll(t);
                   });
        QCOMPARE(port_.Texts(), std::vector<std::string>{});
        QCOMPARE(phone.Messages(old.get()).size(), std::size_t{0});
    }

    void aDialogClosedWithoutDoneProcessesNothingAndShowsNoBox() {
        Deliver(u"SMS/Inbox", u"one");
        Start();
        WithDialog([&] { Command(tallymere::kCommandExportBySelection); },
                   [&](qt::QtDialog& dialog) {
                       qt::QtTree& t = *dialog.Tree(1035);
                       ClickPart(t, Item(t, {}, u"SMS"), tree::TVHT_ONITEMSTATEICON);
                       QCOMPARE(State(t, Item(t, {}, u"SMS")), kSelected);
                       dialog.Window()->close();
                   });
        QVERIFY(port_.Boxes().empty());
        QVERIFY(TextFiles().empty());
        QCOMPARE(Size(Output("Tallyport/Messages.ndx")), std::uintmax_t{0});
        // Escape leaves the settings dialog as Cancel does.
        WithDialog([&] { Command(tallymere::kCommandSettings); },
                   [&](qt::QtDialog& dialog) {
                       dialog.Field(1017)->setText("\\Elsewhere");
                       QTest::keyClick(dialog.Window(), Qt::Key_Escape);
                   });
        QVERIFY(tallymere::GetRegistryStr(tallymere::kOutputDirValue) == u"\\Program Files\\Tallymere");
        QVERIFY(port_.Boxes().empty());
    }

    void aFolderNamedInPlaceIsCreatedInTheStore() {
        Deliver(u"SMS/Inbox", u"one");
        Start();
        WithDialog([&] { Command(tallymere::kCommandExportBySelection); },
                   [&](qt::QtDialog& dialog) {
                       qt::QtTree& t = *dialog.Tree(1035);
                       QWidget* viewport = t.Widget()->viewport();
                       const HTREEITEM sms = Item(t, {}, u"SMS");
                       ClickExpander(t, sms);
                       const HTREEITEM inbox = Item(t, sms, u"Inbox");
                       // A right click on a folder offers "Create Folder" and selects the folder.
                       const QPoint onInbox = t.PartRect(inbox, tree::TVHT_ONITEMLABEL).center();
                       QContextMenuEvent rightClick(QContextMenuEvent::Mouse, onInbox, viewport->mapToGlobal(onInbox));
                       QApplication::sendEvent(viewport, &rightClick);
                       QMenu* menu = dialog.PopupMenu();
                       QVERIFY(menu != nullptr && menu->isVisible());
                       QCOMPARE(menu->actions().size(), 1);
                       QCOMPARE(menu->actions()[0]->text(), QString("Create Folder"));
                       QVERIFY(t.GetSelection() == inbox);
                       ChooseFromMenu(menu);
                       QTRY_VERIFY(t.Editor() != nullptr);
                       const HTREEITEM made = t.EditingItem();
                       QCOMPARE(Text(t, made), QString("New Folder"));
                       QVERIFY(t.GetParent(made) == inbox);
                       QTest::keyClicks(t.Editor(), "Trips");
                       QTest::keyClick(t.Editor(), Qt::Key_Return);
                       QTRY_COMPARE(Text(t, made), QString("Trips (0)"));
                       QVERIFY(!t.EditingItem());

                       // A long press on a box offers the menu too and ticks nothing; Escape in the
                       // editor drops the new item.
                       const QPoint onBox = t.PartRect(sms, tree::TVHT_ONITEMSTATEICON).center();
                       QTest::mousePress(viewport, Qt::LeftButton, {}, onBox);
                       QTest::qWait(qt::QtTree::kLongPressMs + 300);
                       QTest::mouseRelease(viewport, Qt::LeftButton, {}, onBox);
                       QCOMPARE(State(t, sms), kNotSelected);
                       menu = dialog.PopupMenu();
                       QVERIFY(menu != nullptr && menu->isVisible());
                       ChooseFromMenu(menu);
                       QTRY_VERIFY(t.Editor() != nullptr);
                       const HTREEITEM dropped = t.EditingItem();
                       QVERIFY(t.GetParent(dropped) == sms);
                       QTest::keyClick(t.Editor(), Qt::Key_Escape);
                       QVERIFY(t.ItemOf(dropped) == nullptr);
                       QTest::mouseClick(dialog.DoneButton(), Qt::LeftButton);
                   });
        QCOMPARE(port_.Texts(), std::vector<std::string>{"0 messages exported successfully."});
        phone::Phone phone;
        auto exists = [&](std::u16string_view path) {
            try {
                phone.FindFolder(path);
                return true;
            } catch (const phone::Failure&) {
                return false;
            }
        };
        QVERIFY(exists(u"SMS/Inbox/Trips"));
        QVERIFY(!exists(u"SMS/New Folder"));
    }

    void theSettingsDialogTakesTheDirectoryItsBrowserFillsIn() {
        std::filesystem::create_directories(device_->Host("Storage Card/Backups"));
        Deliver(u"SMS/Inbox", u"one");
        Start();
        Command(tallymere::kCommandBackupAll);
        port_.Forget();
        WithDialog([&] { Command(tallymere::kCommandSettings); },
                   [&](qt::QtDialog& dialog) {
                       QCOMPARE(dialog.Window()->windowTitle(), QString("Tallymere Settings"));
                       QVERIFY(dialog.DoneButton() == nullptr);
                       QLineEdit* field = dialog.Field(1017);
                       QCOMPARE(field->text(), QString("\\Program Files\\Tallymere"));
                       // Empty: refused with a box, and the dialog stays.
                       field->clear();
                       QTest::mouseClick(dialog.Button(1009), Qt::LeftButton);
                       QCOMPARE(port_.Texts(), std::vector<std::string>{"Output directory must not be empty."});
                       QCOMPARE(port_.Boxes()[0].caption, std::string("Tallymere Settings"));
                       QVERIFY(dialog.Window()->isVisible());

                       // The browser: Done with nothing chosen keeps the field; a directory chosen fills it.
                       field->setText("\\kept");
                       WithDialog([&] { QTest::mouseClick(dialog.Button(1015), Qt::LeftButton); },
                                  [&](qt::QtDialog& browser) {
                                      QCOMPARE(browser.TemplateId(), 110);
                                      QVERIFY(!browser.Tree(1036)->GetSelection());
                                      QTest::mouseClick(browser.DoneButton(), Qt::LeftButton);
                                  });
                       QCOMPARE(field->text(), QString("\\kept"));
                       WithDialog([&] { QTest::mouseClick(dialog.Button(1015), Qt::LeftButton); },
                                  [&](qt::QtDialog& browser) {
                                      qt::QtTree& t = *browser.Tree(1036);
                                      for (HTREEITEM c = t.GetChild({}); c; c = t.GetNextSibling(c))
                                          QVERIFY(!Text(t, c).startsWith('.'));
                                      const HTREEITEM card = Item(t, {}, u"Storage Card");
                                      ClickExpander(t, card);
                                      ClickPart(t, Item(t, card, u"Backups"), tree::TVHT_ONITEMLABEL);
                                      QTest::mouseClick(browser.DoneButton(), Qt::LeftButton);
                                  });
                       QCOMPARE(field->text(), QString("\\Storage Card\\Backups"));
                       // One trailing backslash goes; Enter presses OK.
                       field->setText(field->text() + "\\");
                       QTest::keyClick(field, Qt::Key_Return);
                       QVERIFY(!dialog.Window()->isVisible());
                   });
        QVERIFY(tallymere::GetRegistryStr(tallymere::kOutputDirValue) == u"\\Storage Card\\Backups");
        QVERIFY(Size(device_->Host("Storage Card/Backups/Tallymere/Messages.ndx")) == 28);
        QVERIFY(std::filesystem::is_directory(device_->Host("Storage Card/Backups/Tallyport")));
        QCOMPARE(port_.Boxes().size(), std::size_t{1});
    }

    void theAboutDialogShowsTheLogoAndClosesByItsOk() {
        Start();
        ui::ShowWindow(window_, ui::SW_SHOW);
        WithDialog([&] { Command(tallymere::kCommandAbout); },
                   [&](qt::QtDialog& dialog) {
                       QCOMPARE(dialog.TemplateId(), 106);
                       QCOMPARE(dialog.Window()->geometry(), desktop::MainWidget()->geometry());
                       auto* logo = dialog.Window()->findChild<QLabel*>("picture1053");
                       QVERIFY(logo != nullptr);
                       QCOMPARE(logo->pixmap().size(), QSize(211, 34));
                       QStringList texts;
                       for (QLabel* label : dialog.Window()->findChildren<QLabel*>()) texts << label->text();
                       QVERIFY(texts.contains("Tallymere v2.2"));
                       QVERIFY(texts.contains("https://tallymere.example.org"));
                       QVERIFY(dialog.DoneButton()->isVisible());
                       QTest::mouseClick(dialog.DoneButton(), Qt::LeftButton);
                       QVERIFY(!dialog.Window()->isVisible());
                   });
        QVERIFY(port_.Boxes().empty());
        // A box of the main window (a failure's) shows on top of the dialog, not under it.
        qt::QtPort boxes;
        WithDialog([&] { Command(tallymere::kCommandAbout); },
                   [&](qt::QtDialog& dialog) {
                       QWidget* boxParent = nullptr;
                       QTimer::singleShot(0, [&] {
                           QWidget* box = QApplication::activeModalWidget();
                           boxParent = box ? box->parentWidget() : nullptr;
                           if (box) box->close();
                       });
                       boxes.MessageBox(window_, u"words", u"Tallymere", ui::MB_OK);
                       QVERIFY(boxParent == dialog.Window());
                   });
        // Asked to end (SIGTERM), the program closes a dialog as it closes its boxes.
        qt::QtPort ending;
        WithDialog([&] { Command(tallymere::kCommandAbout); },
                   [&](qt::QtDialog& dialog) {
                       ending.EndBoxes();
                       QTRY_VERIFY(!dialog.Window()->isVisible());
                   });
    }

    // The sink's command runs inside the selection dialog, through the pass's own exporter.
    void anArrivalWhileTheSelectionDialogIsUpIsExportedOnceAndThePassStaysRight() {
        Deliver(u"SMS/Inbox", u"here before");
        Start();
        bool arrived = false;
        WithDialog([&] { Command(tallymere::kCommandExportBySelection); },
                   [&](qt::QtDialog& dialog) {
                       Deliver(u"SMS/Inbox", u"arrives meanwhile");
                       QTRY_VERIFY_WITH_TIMEOUT(Exported("arrives meanwhile"), 20000);
                       arrived = true;
                       qt::QtTree& t = *dialog.Tree(1035);
                       const HTREEITEM sms = Item(t, {}, u"SMS");
                       ClickExpander(t, sms);
                       const HTREEITEM inbox = Item(t, sms, u"Inbox");
                       QCOMPARE(Text(t, inbox), QString("Inbox (1)"));
                       ClickExpander(t, inbox);
                       ClickPart(t, t.GetChild(inbox), tree::TVHT_ONITEMSTATEICON);
                       QTest::mouseClick(dialog.DoneButton(), Qt::LeftButton);
                   });
        QVERIFY(arrived);
        QCOMPARE(port_.Texts(), std::vector<std::string>{"1 messages exported successfully."});
        QCOMPARE(TextFiles().size(), std::size_t{2});
        QVERIFY(Exported("here before"));
        QCOMPARE(Size(Output("Tallyport/Messages.ndx")), std::uintmax_t{2 * 28});
        QCOMPARE(tallymere::delayQueue->count, 0u);
        Command(tallymere::kCommandExportAll);
        QCOMPARE(port_.Texts().back(), std::string("0 messages exported successfully."));
    }

    // Done runs the pass with the dialog covering the window: the dialog paints its own progress
    // line between messages, and shows neither the line nor a busy cursor while the user chooses.
    void theSelectionDialogPaintsItsProgressWhileItsPassRuns() {
        constexpr std::uint32_t kMessages = 1200;
        {
            phone::Phone phone;
            phone::Seed(phone, kMessages, 5);
        }
        Start();
        ui::ShowWindow(window_, ui::SW_SHOW);
        desktop::InstallWalkProgress();
        PaintedTexts painted;
        WithDialog([&] { Command(tallymere::kCommandExportBySelection); },
                   [&](qt::QtDialog& dialog) {
                       auto* line = dialog.Window()->findChild<QLabel*>(QStringLiteral("progress"));
                       QVERIFY(line != nullptr);
                       QVERIFY(!line->isVisible());
                       QVERIFY2(QGuiApplication::overrideCursor() == nullptr, "no busy cursor while the user chooses");
                       line->installEventFilter(&painted);
                       CheckItemAll(*dialog.Tree(1035));
                       // The user takes a moment to choose: the pass shows its line from its first message.
                       QTest::qWait(600);
                       QTest::mouseClick(dialog.DoneButton(), Qt::LeftButton);
                   });
        tallymere::SetPassProgress({});
        QCOMPARE(port_.Texts(),
                 std::vector<std::string>{std::to_string(kMessages) + " messages exported successfully."});
        QVERIFY2(!painted.texts.empty(), "the dialog painted no progress");
        QCOMPARE(painted.texts.front(), QString("Export by Selection: 0 of 1,200"));
        const QRegularExpression shape(QStringLiteral("^Export by Selection: ([0-9,]+) of 1,200$"));
        long previous = -1;
        for (const QString& text : painted.texts) {
            const QRegularExpressionMatch match = shape.match(text);
            QVERIFY2(match.hasMatch(), qPrintable(text));
            const long done = QLocale().toLong(match.captured(1));
            QVERIFY2(done >= previous, qPrintable(painted.texts.join('|')));
            previous = done;
        }
        QVERIFY2(QGuiApplication::overrideCursor() == nullptr, "the busy cursor goes with the command");
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
