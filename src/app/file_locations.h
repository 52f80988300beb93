// Where the program keeps and finds its files.
//
// A program whose directory it may write to and that is not part of an
// installation (a build tree, a copy on a USB stick) keeps everything beside
// its executable, named after it: vorl.vorlcfg, vorl.cfg, vorl.lan, vorl.hlp.
// An installed program (its directory is closed to the user, or it sits in a
// bin/ beside a share/vorl/) keeps the machine file in the user's
// configuration directory, $XDG_CONFIG_HOME/vorl/ (~/.config/vorl/), and looks
// for the language, help and older binary machine files beside the
// executable, then in that directory, then in the installation's share/vorl/.
// The port map and the translation file follow the machine file (they are
// named after it), and "-c" on the command line names the machine file
// wherever it is. The window and vorl-dnc find their files alike.
#pragma once

#include <QString>

namespace vorl {

struct FileLocations {
    bool besideProgram = true; // false: the user's directory and share/vorl/
    QString userDirectory;     // $XDG_CONFIG_HOME/vorl
    QString configPath;        // the machine file
    QString legacyConfigPath;  // the older binary machine file
    QString languageFile;      // may not exist: no language file is loaded
    QString helpFile;          // may not exist: Help says so
    QString logDirectory;      // where the port component's log and trace go
};

// The user's configuration directory for the program: $XDG_CONFIG_HOME/vorl
// when that is an absolute path, else `home`/.config/vorl.
QString UserConfigDirectory(const QString& xdgConfigHome, const QString& home);
// The same from the process's environment.
QString UserConfigDirectory();

// The data directory of the installation the executable in `programDir` is
// part of (`programDir`/../share/vorl), whether or not it exists.
QString InstalledDataDirectory(const QString& programDir);

// True when files stay beside the executable in `programDir`: the directory is
// writable and is not the bin/ of an installation (no share/vorl/ beside it;
// the administrator may write to /usr/bin, but a user's machines do not
// belong there).
bool KeepsFilesBesideProgram(const QString& programDir);

// The files of the program at `programPath` (its path without extension),
// with the user's configuration directory `userDirectory`. Looks only at which
// files exist; creates nothing.
FileLocations LocateFiles(const QString& programPath, const QString& userDirectory);

// The machine file a run uses and the files named after it.
struct MachineFiles {
    QString configPath;       // the machine file
    QString legacyConfigPath; // the older binary file an import reads
    QString translationPath;  // the tape code translation file (".xlt")
};

// "-c" (`commandLineConfig`, when not empty) names the machine file wherever
// it is, and is then also the only file an import is read from; otherwise
// the located files. Points the port map (".ports" beside the machine file)
// at the chosen file. Creates nothing.
MachineFiles UseMachineFiles(const FileLocations& files, const QString& commandLineConfig);

} // namespace vorl
