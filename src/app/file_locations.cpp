#include "app/file_locations.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "platform/port_map.h"

#include <unistd.h>

namespace vorl {

QString UserConfigDirectory(const QString& xdgConfigHome, const QString& home) {
    // A relative XDG_CONFIG_HOME is to be ignored: it would move with the
    // working directory.
    if (!xdgConfigHome.isEmpty() && QDir::isAbsolutePath(xdgConfigHome)) {
        return QDir::cleanPath(xdgConfigHome + "/vorl");
    }
    return QDir::cleanPath(home + "/.config/vorl");
}

QString UserConfigDirectory() {
    return UserConfigDirectory(qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::homePath());
}

QString InstalledDataDirectory(const QString& programDir) {
    return QDir::cleanPath(programDir + "/../share/vorl");
}

bool KeepsFilesBesideProgram(const QString& programDir) {
    const QByteArray dir = QFile::encodeName(programDir);
    if (::access(dir.constData(), W_OK) != 0) {
        return false;
    }
    return !QFileInfo(InstalledDataDirectory(programDir)).isDir();
}

FileLocations LocateFiles(const QString& programPath, const QString& userDirectory) {
    const QFileInfo program(programPath);
    const QString programDir = program.absolutePath();
    const QString base = program.fileName();

    FileLocations files;
    files.userDirectory = userDirectory;
    files.besideProgram = KeepsFilesBesideProgram(programDir);
    if (files.besideProgram) {
        files.configPath = programPath + ".vorlcfg";
        files.legacyConfigPath = programPath + ".cfg";
        files.languageFile = programPath + ".lan";
        files.helpFile = programPath + ".hlp";
        files.logDirectory = programDir;
        return files;
    }

    const QString dataDir = InstalledDataDirectory(programDir);
    // The first place that has the file; else `fallback`, where one would be
    // looked for first by the operator reading the message that it is missing.
    const auto lookUp = [&](const QString& extension, const QString& fallback) {
        for (const QString& dir : {programDir, userDirectory, dataDir}) {
            const QString path = dir + '/' + base + extension;
            if (QFileInfo(path).isFile()) {
                return path;
            }
        }
        return fallback + '/' + base + extension;
    };
    files.configPath = userDirectory + '/' + base + ".vorlcfg";
    files.legacyConfigPath = lookUp(".cfg", userDirectory);
    files.languageFile = lookUp(".lan", userDirectory);
    files.helpFile = lookUp(".hlp", dataDir);
    files.logDirectory = userDirectory;
    return files;
}

MachineFiles UseMachineFiles(const FileLocations& files, const QString& commandLineConfig) {
    MachineFiles chosen;
    if (!commandLineConfig.isEmpty()) {
        chosen.configPath = commandLineConfig;
        chosen.legacyConfigPath = commandLineConfig;
    } else {
        chosen.configPath = files.configPath;
        chosen.legacyConfigPath = files.legacyConfigPath;
    }
    const qsizetype slash = chosen.configPath.lastIndexOf('/');
    const qsizetype dot = chosen.configPath.lastIndexOf('.');
    chosen.translationPath =
        (dot > slash ? chosen.configPath.left(dot) : chosen.configPath) + ".xlt";
    platform::SetConfigurationPath(QFile::encodeName(chosen.configPath).toStdString());
    return chosen;
}

} // namespace vorl
