#include "desktop/dialogs.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "desktop/app.h"
#include "desktop/main_window.h"
#include "platform/dialog.h"
#include "platform/no_destructor.h"

namespace desktop {

namespace {

namespace qt = platform::qt;

// The ids of the templates and controls (the program's procedures name them too).
constexpr int kAbout = 106;
constexpr int kSettings = 107;
constexpr int kFolderBrowser = 110;
constexpr int kSelection = 120;
constexpr int kLogo = 1053;
constexpr int kFolderTree = 1036;
constexpr int kSelectionTree = 1035;
constexpr int kOutputDirField = 1017;
constexpr std::uint32_t kSelectFolder = 1015;
constexpr std::uint32_t kOk = 1009;
constexpr std::uint32_t kCancel = 1010;

// The window with the caption strip on top; returns the area below it for the controls.
QWidget* Frame(qt::QtDialog& dialog, const QString& caption, bool done) {
    QDialog* window = dialog.Window();
    window->setWindowTitle(caption);
    window->setWindowIcon(ApplicationIcon());
    window->resize(kPhoneWidth, kPhoneHeight);
    window->setMinimumSize(200, 240);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    QToolButton* ok = nullptr;
    layout->addWidget(MakeCaption(window, caption, &ok));
    if (done) {
        dialog.SetDoneButton(ok);
    } else {
        ok->hide();
    }
    auto* body = new QWidget(window);
    body->setObjectName(QStringLiteral("body"));
    // White below the caption, as the main window's menu is.
    body->setAutoFillBackground(true);
    QPalette palette = body->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Base));
    body->setPalette(palette);
    layout->addWidget(body, 1);
    if (done) {
        // Done may run a pass, with the dialog covering the window: its progress shows here.
        auto* progress = new QLabel(window);
        progress->setObjectName(QStringLiteral("progress"));
        progress->setContentsMargins(6, 2, 6, 2);
        progress->hide();
        layout->addWidget(progress);
    }
    return body;
}

void TreeDialog(qt::QtDialog& dialog, int treeId) {
    QWidget* body = Frame(dialog, QStringLiteral("Tallymere"), true);
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    qt::QtTree* tree = dialog.AddTree(treeId, body);
    tree->Widget()->setFrameShape(QFrame::NoFrame);
    layout->addWidget(tree->Widget());
    tree->Widget()->setFocus();
}

void SettingsDialog(qt::QtDialog& dialog) {
    QWidget* body = Frame(dialog, QStringLiteral("Tallymere Settings"), false);
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(6);
    layout->addWidget(new QLabel(QStringLiteral("Output Directory:"), body));
    auto* field = new QLineEdit(body);
    field->setObjectName(QStringLiteral("field%1").arg(kOutputDirField));
    dialog.AddField(kOutputDirField, field);
    layout->addWidget(field);

    auto button = [&](const QString& text, std::uint32_t command) {
        auto* b = new QPushButton(text, body);
        b->setObjectName(QStringLiteral("button%1").arg(command));
        b->setAutoDefault(false);
        dialog.AddButton(command, b);
        return b;
    };
    auto* select = new QHBoxLayout();
    select->addWidget(button(QStringLiteral("Select Folder"), kSelectFolder));
    select->addStretch();
    layout->addLayout(select);
    auto* okCancel = new QHBoxLayout();
    QPushButton* ok = button(QStringLiteral("OK"), kOk);
    ok->setDefault(true);  // Enter in the field
    okCancel->addWidget(ok);
    okCancel->addWidget(button(QStringLiteral("Cancel"), kCancel));
    okCancel->addStretch();
    layout->addSpacing(4);
    layout->addLayout(okCancel);
    layout->addStretch();
}

void AboutDialog(qt::QtDialog& dialog) {
    QWidget* body = Frame(dialog, QStringLiteral("Tallymere"), true);
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(12, 14, 12, 12);
    layout->setSpacing(10);
    auto* logo = new QLabel(body);
    logo->setObjectName(QStringLiteral("picture%1").arg(kLogo));
    logo->setPixmap(Logo());
    layout->addWidget(logo);
    auto text = [&](const QString& words) {
        auto* label = new QLabel(words, body);
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(label);
        return label;
    };
    layout->addSpacing(6);
    QLabel* version = text(QStringLiteral("Tallymere v2.2"));
    QFont bold = version->font();
    bold.setBold(true);
    version->setFont(bold);
    text(QString::fromLatin1(kWebAddress));
    layout->addStretch();
}

}  // namespace

QPixmap Logo() { return QPixmap(QStringLiteral(":/tallymere/logo.png")); }

bool BuildDialog(qt::QtDialog& dialog) {
    switch (dialog.TemplateId()) {
        case kAbout: AboutDialog(dialog); return true;
        case kSettings: SettingsDialog(dialog); return true;
        case kFolderBrowser: TreeDialog(dialog, kFolderTree); return true;
        case kSelection: TreeDialog(dialog, kSelectionTree); return true;
        default: return false;
    }
}

qt::QtDialogHost& DialogHost() {
    static platform::NoDestructor<qt::QtDialogHost> host(BuildDialog);
    return *host;
}

void InstallDialogHost() { platform::dialog::SetHost(&DialogHost()); }

void RemoveDialogHost() { platform::dialog::SetHost(nullptr); }

}  // namespace desktop
