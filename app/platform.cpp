#include "app/platform.h"

#include "setup/app_dir.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

namespace vrel {
namespace {

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

    void MessageBox(QWidget* parent, const QString& text) override {
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), text, QMessageBox::Ok,
                        parent);
        box.setStyleSheet(QStringLiteral("QLabel { min-width: 320px; }"));
        box.exec();
    }

    bool AskYesNo(QWidget* parent, const QString& text) override {
        QMessageBox box(QMessageBox::Question, QApplication::applicationName(), text,
                        QMessageBox::Yes | QMessageBox::No, parent);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes;
    }

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
