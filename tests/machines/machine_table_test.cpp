#include "machines/machine_table.h"

#include "../temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace vorl {
namespace {

MachineList tableOf(const std::vector<std::pair<char, std::string>>& machines) {
    MachineList list;
    list[0].capability = 'T';
    int i = 1;
    for (const auto& [cap, name] : machines) {
        list[i].capability = cap;
        list[i].name = name;
        ++i;
    }
    list.count = i;
    return list;
}

TEST(MachineTable, ColumnBreakStartsTheSecondColumnAtHalf) {
    EXPECT_EQ(ColumnBreakIndex(0), -1);
    EXPECT_EQ(ColumnBreakIndex(25), -1);
    EXPECT_EQ(ColumnBreakIndex(26), 13);
    EXPECT_EQ(ColumnBreakIndex(27), 14);
    EXPECT_EQ(ColumnBreakIndex(50), 25);
}

TEST(MachineTable, SubmenusFollowTheCapabilities) {
    const MachineList list =
        tableOf({{'D', "Mill"}, {'U', "Lathe"}, {'B', "Both"}, {'X', "Off"}, {'?', "Gone"}});
    EXPECT_EQ(EditMachineEntries(list),
              (std::vector<MachineMenuEntry>{{"Mill", 1}, {"Lathe", 2}, {"Both", 3}, {"Off", 4}}));
    EXPECT_EQ(DownloadMachineEntries(list, "To: "),
              (std::vector<MachineMenuEntry>{{"To: Mill", 1}, {"To: Both", 3}}));
    EXPECT_EQ(UploadMachineEntries(list, "From: "),
              (std::vector<MachineMenuEntry>{{"From: Lathe", 2}, {"From: Both", 3}}));

    MachineList onlyTerminal = tableOf({});
    EXPECT_TRUE(EditMachineEntries(onlyTerminal).empty());
    EXPECT_TRUE(DownloadMachineEntries(onlyTerminal, "To: ").empty());
}

TEST(MachineTable, CommandLineMachineMustBeUniqueAmongDownloadMachines) {
    const MachineList list =
        tableOf({{'U', "Mazak lathe"}, {'D', "MAZAK mill"}, {'B', "Okuma"}, {'D', "Okuma 2"}});
    EXPECT_EQ(ChooseCommandLineMachine(list, "mazak"), 2) << "the upload-only one does not count";
    EXPECT_EQ(ChooseCommandLineMachine(list, "okuma"), 0) << "two matches select none";
    EXPECT_EQ(ChooseCommandLineMachine(list, "Okuma 2"), 4);
    EXPECT_EQ(ChooseCommandLineMachine(list, "Okuma 22"), 0) << "longer than the name";
    EXPECT_EQ(ChooseCommandLineMachine(list, "Haas"), 0);
}

TEST(MachineTable, NewMachineDefaults) {
    const MachineConfig m = NewMachineDefaults();
    MachineConfig expected;
    expected.capability = 'D';
    expected.uploadExtension = ".ncc";
    expected.downloadExtension = ".ncc";
    expected.port = 2;
    expected.baudRate = 4800;
    expected.dataBits = 8;
    expected.stopBits = 1;
    EXPECT_EQ(m, expected);
}

TEST(MachineTable, CompactDropsDeletedSlotsAndKeepsTheSelection) {
    MachineList list = tableOf({{'D', "A"}, {'?', "B"}, {'U', "C"}, {'?', "D"}});
    list[3].downloadDirectory = "/c";
    list.selected = 3;
    CompactMachineList(list);
    EXPECT_EQ(list.count, 3);
    EXPECT_EQ(list[2].name, "C");
    EXPECT_EQ(list[2].downloadDirectory, "/c");
    EXPECT_EQ(list.selected, 2);
    EXPECT_EQ(list[3], MachineConfig{}) << "no stale record behind the used slots";

    list[1].capability = '?';
    list.selected = 1;
    CompactMachineList(list);
    EXPECT_EQ(list.selected, 0);
    EXPECT_EQ(list[1].name, "C");
}

// A save whose write fails reads back the file as it still is: every machine
// gets its own settings from it, none of the slot it lands on, and the
// selection follows its machine. A read that yields nothing keeps the table.
TEST(MachineTable, AFailedSaveReadsTheOldFileIntoAnEmptyTable) {
    test::TempDir dir;
    const std::string path = dir.file("shop.vorlcfg");
    // Every write fails: the file size limit, as a full disk would.
    struct FileSizeLimit {
        struct rlimit saved {};
        void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
        FileSizeLimit() {
            getrlimit(RLIMIT_FSIZE, &saved);
            struct rlimit small = saved;
            small.rlim_cur = 64;
            setrlimit(RLIMIT_FSIZE, &small);
        }
        ~FileSizeLimit() {
            setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, handler);
        }
    };
    MachineList list = tableOf({{'D', "Mill"}, {'D', "Drill"}, {'U', "Lathe"}});
    list[1].downloadDirectory = "/mill";
    list[1].triggers[DownloadStart] = "%";
    list[3].downloadDirectory = "/lathe";
    test::writeBytes(path, FormatConfiguration(list));
    FileSizeLimit limit;
    ASSERT_EQ(WriteConfiguration(path, list), -1) << "writes must fail";
    const MachineList onDisk = list;

    list[1].capability = '?'; // delete Mill
    list.selected = 3;
    int damaged = 0;
    SaveAndReloadResult r = SaveAndReloadMachines(path, list, [&] { ++damaged; });
    EXPECT_FALSE(r.written);
    EXPECT_EQ(r.sections, 4);
    EXPECT_EQ(r.stoppedAtLine, 0);
    EXPECT_EQ(damaged, 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(list[i], onDisk[i]) << "slot " << i;
    }
    EXPECT_EQ(list.selected, 3) << "still Lathe";

    list[3].name = "Lathe 2";
    SaveAndReloadMachines(path, list);
    EXPECT_EQ(list.selected, 0) << "the renamed machine is not in the file";

    const std::string gone = dir.file("gone/vorl.vorlcfg");
    list[1].capability = '?';
    list.selected = 3;
    const MachineList before = list;
    r = SaveAndReloadMachines(gone, list);
    EXPECT_FALSE(r.written);
    EXPECT_EQ(r.sections, 0);
    for (int i = 0; i < MachineList::kSlots; ++i) {
        EXPECT_EQ(list[i], before[i]) << "slot " << i;
    }
    EXPECT_EQ(list.count, before.count);
    EXPECT_EQ(list.selected, 3);
}

} // namespace
} // namespace vorl
