// Starts the real main window on the offscreen platform beside a program path
// in a fresh directory, with its own settings file and a recorded exit code.
#pragma once

#include "app/main_form.h"
#include "machines/config_file.h"
#include "machines/machine_table.h"
#include "text/language_table.h"

#include "../temp_dir.h"
#include "modal_driver.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSettings>

#include <gtest/gtest.h>

#include <memory>

namespace vorl::test {

class AppTest : public ::testing::Test {
protected:
    void TearDown() override { Language().clear(); }

    std::string program() const { return dir.file("vorl"); }
    std::string configFile() const { return program() + ".vorlcfg"; }
    QString settingsFile() const { return QString::fromStdString(dir.file("settings.ini")); }

    MainFormEnvironment environment(const QStringList& args) {
        MainFormEnvironment env;
        env.programPath = QString::fromStdString(program());
        env.arguments = QStringList{"vorl"} + args;
        env.settingsFile = settingsFile();
        env.terminate = [this](int code) { exitCodes.push_back(code); };
        return env;
    }

    std::unique_ptr<TMainForm> start(const QStringList& args = {}) {
        auto form = std::make_unique<TMainForm>(environment(args));
        form->show();
        return form;
    }

    // Closes the window the way the operator does; returns the exit code.
    int closeForm(TMainForm& form) {
        const size_t before = exitCodes.size();
        form.close();
        EXPECT_EQ(exitCodes.size(), before + 1);
        return exitCodes.empty() ? -1 : exitCodes.back();
    }

    void setWindowValues(const QVariant& left, const QVariant& top, const QVariant& state) {
        QSettings s(settingsFile(), QSettings::IniFormat);
        s.setValue("Left", left);
        s.setValue("Top", top);
        s.setValue("State", state);
    }

    // Writes a configuration file: the terminal entry, then the machines.
    void writeMachines(const std::vector<std::pair<char, std::string>>& machines,
                       const std::string& path = {}) {
        MachineList list;
        list[0].capability = 'T';
        int i = 1;
        for (const auto& [cap, name] : machines) {
            list[i] = NewMachineDefaults();
            list[i].capability = cap;
            list[i].name = name;
            list[i].downloadExtension = ".nc";
            list[i].uploadExtension = ".ncc";
            ++i;
        }
        list.count = i;
        ASSERT_EQ(WriteConfiguration(path.empty() ? configFile() : path, list), i);
    }

    static QString text(const QLabel* l) { return l->text(); }

    TempDir dir;
    std::vector<int> exitCodes;
};

} // namespace vorl::test
