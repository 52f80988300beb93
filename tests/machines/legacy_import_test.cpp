#include "machines/legacy_import.h"

#include "../legacy_builder.h"
#include "../temp_dir.h"

#include <gtest/gtest.h>

namespace vorl {
namespace {

using test::LegacyBuilder;
using test::TempDir;
using test::writeBytes;

MachineConfig terminalEntry() {
    MachineConfig m;
    m.capability = 'T';
    m.port = 1;
    m.baudRate = 4800;
    m.dataBits = 8;
    m.stopBits = 1;
    return m;
}

MachineConfig legacyMachine(const std::string& name) {
    MachineConfig m;
    m.capability = 'B';
    m.name = name;
    m.uploadExtension = ".up";
    m.downloadExtension = ".nc";
    m.uploadDirectory = std::string(60, 'u');
    m.downloadDirectory = "C:\\NC";
    m.port = -2;
    m.baudRate = 115200;
    m.dataBits = 7;
    m.stopBits = 2;
    m.parity = 1;
    m.handshake = 3;
    m.protocol = 2;
    m.blockDelay = 70000;
    m.eobMode = 2;
    m.charCode = 1;
    m.downloadStripNulls = 1;
    m.uploadStripComments = 1;
    m.punchLeader = 1;
    m.punchTrailer = 0;
    m.leaderLength = 5;
    m.downloadFilterChars = std::string("^\0", 2); // raw bytes, no caret notation
    m.uploadFilterChars = "%";
    m.triggers = {"\x12", "\r\n", "", "\xff", "", "", "", "M30"};
    return m;
}

TEST(LegacyImport, ReadsEveryFieldOfGoodRecords) {
    TempDir dir;
    const std::string path = dir.file("vorl.cfg");
    writeBytes(path, LegacyBuilder()
                         .record(terminalEntry())
                         .record(legacyMachine("Mill"))
                         .record(legacyMachine("Lathe"))
                         .bytes());
    MachineList list;
    const LegacyImportResult r = ImportLegacyConfiguration(path, list);
    EXPECT_EQ(r.status, LegacyImportStatus::Ok);
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(list.count, 3);
    EXPECT_EQ(list[0], terminalEntry());
    EXPECT_EQ(list[1], legacyMachine("Mill"));
    EXPECT_EQ(list[2], legacyMachine("Lathe"));
}

TEST(LegacyImport, MissingFileIsMinusOne) {
    TempDir dir;
    MachineList list;
    EXPECT_EQ(ImportLegacyConfiguration(dir.file("none.cfg"), list).count, -1);
    EXPECT_EQ(ImportLegacyConfiguration(dir.path().string(), list).status,
              LegacyImportStatus::CannotOpen);
}

TEST(LegacyImport, StringLengthOutsideZeroToSixtyIsFatal) {
    TempDir dir;
    for (int16_t length : {int16_t{61}, int16_t{-1}, int16_t{32767}}) {
        const std::string path = dir.file("bad.cfg");
        LegacyBuilder b;
        b.record(terminalEntry()).u8('D').str("Mill").badLength(length);
        b.str(std::string(61, 'x')); // bytes enough that only the length is wrong
        writeBytes(path, b.bytes());
        MachineList list;
        list.count = 7;
        const LegacyImportResult r = ImportLegacyConfiguration(path, list);
        EXPECT_EQ(r.status, LegacyImportStatus::Fatal) << length;
        EXPECT_EQ(list.count, 7) << "the table is left alone";
    }
}

TEST(LegacyImport, RecordCutShortIsNotTakenAndReportsDamage) {
    TempDir dir;
    const std::string whole =
        LegacyBuilder().record(terminalEntry()).record(legacyMachine("Mill")).bytes();
    const std::string oneRecord = LegacyBuilder().record(terminalEntry()).bytes();
    // Cut the second record at every length: inside a number, a length field,
    // the bytes of a string.
    for (size_t cut = oneRecord.size() + 1; cut < whole.size(); ++cut) {
        const std::string path = dir.file("cut.cfg");
        writeBytes(path, whole.substr(0, cut));
        MachineList list;
        const LegacyImportResult r = ImportLegacyConfiguration(path, list);
        ASSERT_EQ(r.status, LegacyImportStatus::Damaged) << "cut at " << cut;
        ASSERT_EQ(r.count, 1);
        ASSERT_EQ(list[0], terminalEntry());
        ASSERT_EQ(list[1], MachineConfig{}) << "nothing of the cut record is taken";
    }
    for (size_t cut : {size_t{0}, size_t{1}}) {
        const std::string path = dir.file("tiny.cfg");
        writeBytes(path, whole.substr(0, cut));
        MachineList list;
        const LegacyImportResult r = ImportLegacyConfiguration(path, list);
        EXPECT_EQ(r.status, LegacyImportStatus::Damaged);
        EXPECT_EQ(r.count, 0);
    }
}

TEST(LegacyImport, RecordsBeyondTheFiftiethAreNotRead) {
    TempDir dir;
    LegacyBuilder b;
    b.record(terminalEntry());
    for (int i = 1; i < 50; ++i) {
        b.record(legacyMachine("M" + std::to_string(i)));
    }
    const std::string path = dir.file("fifty.cfg");
    writeBytes(path, b.bytes());
    MachineList list;
    LegacyImportResult r = ImportLegacyConfiguration(path, list);
    EXPECT_EQ(r.status, LegacyImportStatus::Ok);
    EXPECT_EQ(r.count, 50);

    b.record(legacyMachine("M50"));
    writeBytes(path, b.bytes());
    r = ImportLegacyConfiguration(path, list);
    EXPECT_EQ(r.status, LegacyImportStatus::Damaged);
    EXPECT_EQ(r.count, 50);
    EXPECT_EQ(list[49].name, "M49");
}

} // namespace
} // namespace vorl
