#include "app/platform.h"

#include "setup/app_dir.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace vrel {
namespace {

// A message in a window of its own: the text wrapped at a fixed width and the window as tall as
// the wrapped text needs, so that no line is cut off whatever its length. True where Yes (or
// OK) was pressed.
bool Ask(QWidget* parent, const QString& text, bool question) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QApplication::applicationName());
    auto* layout = new QVBoxLayout(&dialog);
    auto* label = new QLabel(text, &dialog);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    const int width = 420;
    label->setFixedWidth(width);
    label->setMinimumHeight(label->heightForWidth(width));
    layout->addWidget(label);
    auto* buttons = new QDialogButtonBox(
        question ? QDialogButtonBox::Yes | QDialogButtonBox::No : QDialogButtonBox::Ok, &dialog);
    if (question) {
        buttons->button(QDialogButtonBox::Yes)->setText(QStringLiteral("是"));
        buttons->button(QDialogButtonBox::No)->setText(QStringLiteral("否"));
        buttons->button(QDialogButtonBox::Yes)->setDefault(true);
    } else {
        buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
        buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    }
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    return dialog.exec() == QDialog::Accepted;
}

class QtPlatform : public Platform {
public:
    std::optional<QString> OpenFileName(QWidget* parent, const QString& filter) override {
        const QString path = QFileDialog::getOpenFileName(parent, QString(), QString(), filter);
        return path.isEmpty() ? std::nullopt : std::optional<QString>(path);
    }

    std::optional<QString> SaveFileName(QWidget* parent, const QString& initial_name,
                                        const QString& default_suffix,
                                        const QString& filter) override {
        QFileDialog dialog(parent, QString(), initial_name, filter);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(default_suffix);
        dialog.selectFile(initial_name);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return std::nullopt;
        }
        return dialog.selectedFiles().front();
    }

    void MessageBox(QWidget* parent, const QString& text) override { Ask(parent, text, false); }

    bool AskYesNo(QWidget* parent, const QString& text) override { return Ask(parent, text, true); }

    int RunModal(QDialog& dialog) override { return dialog.exec(); }
};

} // namespace

std::string Platform::AppDirectory() {
    return AppDir();
}

Platform& DesktopPlatform() {
    static QtPlatform platform;
    return platform;
}

} // namespace vrel
