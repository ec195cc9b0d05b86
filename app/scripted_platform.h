#pragma once

#include "app/platform.h"

#include <QDialog>

#include <cstdio>
#include <string>
#include <utility>

namespace vrel {

// The dialog driven without a person, for tools that take screenshots or measure it: Open
// picks photo, every question is answered Yes, nothing is saved, and messages go to standard
// error. app_dir, where given, stands in for the program's own folder.
class ScriptedPlatform : public Platform {
public:
    explicit ScriptedPlatform(QString photo = QString(), std::string app_dir = std::string())
        : photo(std::move(photo)), app_dir_(std::move(app_dir)) {}

    QString photo;

    std::optional<QString> OpenFileName(QWidget*, const QString&) override { return photo; }
    std::optional<QString> SaveFileName(QWidget*, const QString&, const QString&,
                                        const QString&) override {
        return std::nullopt;
    }
    void MessageBox(QWidget*, const QString& text) override {
        std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
    }
    bool AskYesNo(QWidget*, const QString&) override { return true; }
    int RunModal(QDialog&) override { return QDialog::Rejected; }
    std::string AppDirectory() override {
        return app_dir_.empty() ? Platform::AppDirectory() : app_dir_;
    }

private:
    std::string app_dir_;
};

} // namespace vrel
