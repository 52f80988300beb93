// File access on real files: choosing the file to send, the receive name, the
// read and write window, the existing-file actions and upper-case names.
#include "protocols/protocol_engine.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vorl {
namespace {

using test::readBytes;
using test::TempDir;
using test::writeBytes;

struct Recorder final : ProtocolNotify {
    std::vector<int32_t> errors;
    std::vector<uint16_t> statuses;
    void NotifyStatus(TProtocolData&, uint16_t options) override { statuses.push_back(options); }
    void NotifyLog(TProtocolData&, uint16_t) override {}
    void NotifyError(TProtocolData&, int32_t code) override { errors.push_back(code); }
    bool NotifyNextFile(TProtocolData& P, std::string& name) override {
        return peNextFileMask(P, name);
    }
    bool NotifyAcceptFile(TProtocolData&, std::string&) override { return true; }
    void NotifyFinish(TProtocolData&, int32_t) override {}
};

class FileAccess : public ::testing::Test {
protected:
    FileAccess() : P(peInitProtocolData(0)) { peSetProtocolWindow(*P, &rec); }

    std::string nextFile(const std::string& mask, bool first = true) {
        peSetFileMask(*P, mask);
        P->FindFirstDue = first;
        std::string name;
        return peNextFileMask(*P, name) ? name : std::string();
    }

    // Reads `len` bytes at `ofs`; returns the bytes, sets `last`.
    std::string readAt(int64_t ofs, int32_t len, bool& last) {
        std::vector<uint8_t> block(static_cast<size_t>(len));
        P->FileOfs = ofs;
        last = faReadProtocolBlock(*P, block.data(), len);
        return std::string(block.begin(), block.begin() + len);
    }

    void writeAt(int64_t ofs, const std::string& data) {
        P->FileOfs = ofs;
        ASSERT_EQ(faWriteProtocolBlock(*P, reinterpret_cast<const uint8_t*>(data.data()),
                                       int32_t(data.size())),
                  0);
    }

    TempDir dir;
    Recorder rec;
    std::shared_ptr<TProtocolData> P;
};

TEST_F(FileAccess, MaskErrorsNameTheirCause) {
    EXPECT_EQ(nextFile(dir.file("missing.nc")), "");
    EXPECT_EQ(rec.errors.back(), ecFileNotFound);
    EXPECT_EQ(nextFile(dir.file("nodir") + "/part.nc"), "");
    EXPECT_EQ(rec.errors.back(), ecDirNotFound);
    EXPECT_EQ(nextFile(dir.file("*.nc")), "");
    EXPECT_EQ(rec.errors.back(), ecNoMatchingFiles);
    EXPECT_EQ(nextFile(""), "");
    EXPECT_EQ(rec.errors.back(), ecNoSearchMask);
    std::filesystem::create_directory(dir.file("sub"));
    EXPECT_EQ(nextFile(dir.file("sub")), "") << "a directory is not a file to send";
    EXPECT_EQ(rec.errors.back(), ecFileNotFound);
}

TEST_F(FileAccess, MaskMatchesRegularFilesInNameOrder) {
    writeBytes(dir.file("b.nc"), "b");
    writeBytes(dir.file("a.nc"), "a");
    writeBytes(dir.file("c.txt"), "c");
    std::filesystem::create_directory(dir.file("d.nc"));
    EXPECT_EQ(nextFile(dir.file("*.nc")), dir.file("a.nc"));
    EXPECT_EQ(P->PathName, dir.file("a.nc"));
    std::string name;
    EXPECT_TRUE(peNextFileMask(*P, name));
    EXPECT_EQ(name, dir.file("b.nc"));
    EXPECT_FALSE(peNextFileMask(*P, name));
    EXPECT_TRUE(rec.errors.empty()) << "the end of a search is no error";
    EXPECT_EQ(nextFile(dir.file("*.*")), dir.file("a.nc"));
}

TEST_F(FileAccess, MaskKnowsOnlyStarAndQuestionMark) {
    writeBytes(dir.file("PART1.NC"), "1");
    EXPECT_EQ(nextFile(dir.file("PART[1].NC")), "") << "brackets are part of the name";
    EXPECT_EQ(rec.errors, std::vector<int32_t>{ecFileNotFound});
    writeBytes(dir.file("PART[1].NC"), "[");
    EXPECT_EQ(nextFile(dir.file("PART[1].NC")), dir.file("PART[1].NC"));
    EXPECT_EQ(nextFile(dir.file("PART[1]?NC")), dir.file("PART[1].NC"));
    std::string name;
    EXPECT_FALSE(peNextFileMask(*P, name));
    writeBytes(dir.file("a\\b.nc"), "\\");
    EXPECT_EQ(nextFile(dir.file("a\\*")), dir.file("a\\b.nc"));
    writeBytes(dir.file("\xC3\xA9.nc"), "e");
    EXPECT_EQ(nextFile(dir.file("?.nc")), dir.file("\xC3\xA9.nc")) << "one character, two bytes";
    EXPECT_EQ(nextFile(dir.file("P*1*C")), dir.file("PART1.NC"));
    EXPECT_TRUE(peNextFileMask(*P, name));
    EXPECT_EQ(name, dir.file("PART[1].NC"));
}

TEST_F(FileAccess, ReceiveNameJoinsTheDestinationDirectory) {
    peSetReceiveFilename(*P, "PART.NC");
    EXPECT_EQ(P->PathName, "PART.NC");
    peSetDestinationDirectory(*P, "/in");
    peSetReceiveFilename(*P, "PART.NC");
    EXPECT_EQ(P->PathName, "/in/PART.NC");
    peSetDestinationDirectory(*P, "/in/");
    peSetReceiveFilename(*P, "PART.NC");
    EXPECT_EQ(P->PathName, "/in/PART.NC");
    peSetReceiveFilename(*P, "/tmp/x/PART.NC");
    EXPECT_EQ(P->PathName, "/tmp/x/PART.NC");
    peSetReceiveFilename(*P, "sub/PART.NC");
    EXPECT_EQ(P->PathName, "sub/PART.NC");
}

TEST_F(FileAccess, ReadWindowFillsTheEndWithCtrlZ) {
    std::string data;
    for (int i = 0; i < 8200; ++i)
        data += char('A' + i % 26);
    writeBytes(dir.file("f"), data);
    P->PathName = dir.file("f");
    faPrepareReading(*P);
    ASSERT_TRUE(P->FileOpen);
    EXPECT_EQ(P->FileLength, 8200);
    EXPECT_EQ(rec.statuses, std::vector<uint16_t>{0});

    bool last = true;
    EXPECT_EQ(readAt(0, 128, last), data.substr(0, 128));
    EXPECT_FALSE(last);
    EXPECT_EQ(P->WorkEnd, 8192);
    EXPECT_EQ(readAt(8064, 128, last), data.substr(8064, 128));
    EXPECT_FALSE(last);

    std::vector<uint8_t> block(128);
    P->FileOfs = 8192;
    int32_t len = 128;
    EXPECT_TRUE(faReadProtocolBlock(*P, block.data(), len));
    EXPECT_EQ(len, 8);
    EXPECT_EQ(std::string(block.begin(), block.begin() + 8), data.substr(8192));
    EXPECT_EQ(std::string(block.begin() + 8, block.end()), std::string(120, '\x1A'));

    EXPECT_EQ(readAt(8200, 128, last), "");
    EXPECT_TRUE(last);
    faFinishReading(*P);
    EXPECT_FALSE(P->FileOpen);
}

TEST_F(FileAccess, SameOffsetTwiceComesFromTheWindowAndGoingBackReadsAgain) {
    writeBytes(dir.file("f"), std::string(300, 'a'));
    P->PathName = dir.file("f");
    faPrepareReading(*P);
    bool last = false;
    EXPECT_EQ(readAt(128, 128, last), std::string(128, 'a'));
    writeBytes(dir.file("f"), std::string(300, 'b')); // the disk changes under the window
    EXPECT_EQ(readAt(128, 128, last), std::string(128, 'a'));
    EXPECT_EQ(readAt(0, 128, last), std::string(128, 'b')) << "going back reads the disk";
    std::string tail = readAt(256, 128, last);
    EXPECT_TRUE(last);
    EXPECT_EQ(tail, std::string(44, 'b'));
    faFinishReading(*P);
}

TEST_F(FileAccess, EmptyFileGivesOneEmptyLastBlock) {
    writeBytes(dir.file("empty"), "");
    P->PathName = dir.file("empty");
    faPrepareReading(*P);
    bool last = false;
    EXPECT_EQ(readAt(0, 128, last), "");
    EXPECT_TRUE(last);
    EXPECT_EQ(P->FileLength, 0);
    faFinishReading(*P);
}

TEST_F(FileAccess, OpenFailuresReportAndLeaveNothingOpen) {
    P->PathName = "";
    faPrepareReading(*P);
    EXPECT_EQ(rec.errors.back(), ecFileNotFound);
    P->PathName = dir.file("missing");
    faPrepareReading(*P);
    EXPECT_EQ(rec.errors.back(), ecFileNotFound);
    EXPECT_FALSE(P->FileOpen);
    EXPECT_EQ(P->WorkBuffer, nullptr);
    P->PathName = dir.path().string();
    faPrepareReading(*P);
    EXPECT_EQ(rec.errors.back(), ecAccessDenied);
    EXPECT_FALSE(P->FileOpen);
    P->PathName = dir.file("nodir") + "/x";
    faPrepareWriting(*P);
    EXPECT_EQ(rec.errors.back(), ecFileNotFound);
    EXPECT_FALSE(P->FileOpen);
    EXPECT_EQ(P->WorkBuffer, nullptr);
}

TEST_F(FileAccess, WrittenDataReachesTheDiskAtFinish) {
    P->PathName = dir.file("out");
    faPrepareWriting(*P);
    ASSERT_TRUE(P->FileOpen);
    std::string expect;
    for (int i = 0; i < 70; ++i) {
        std::string block(128, char('0' + i % 10));
        writeAt(int64_t(i) * 128, block);
        expect += block;
    }
    EXPECT_LT(readBytes(dir.file("out")).size(), expect.size()) << "the window still holds data";
    faFinishWriting(*P);
    EXPECT_FALSE(P->FileOpen);
    EXPECT_EQ(readBytes(dir.file("out")), expect);
    EXPECT_EQ(P->FileLength, int64_t(expect.size()));
}

TEST_F(FileAccess, WritingBackReplacesWhatFollowed) {
    P->PathName = dir.file("out");
    faPrepareWriting(*P);
    writeAt(0, "AAAA");
    writeAt(4, "BBBB");
    writeAt(4, "CC"); // the protocol went back one block
    faFinishWriting(*P);
    EXPECT_EQ(readBytes(dir.file("out")), "AAAACC");
}

TEST_F(FileAccess, WriteWithoutOpenFileFails) {
    uint8_t b = 0;
    EXPECT_EQ(faWriteProtocolBlock(*P, &b, 1), -1);
    EXPECT_EQ(rec.errors.back(), ecNotOpen);
}

TEST_F(FileAccess, ExistingFileIsRenamedSkippedOrOverwritten) {
    writeBytes(dir.file("PART.NC"), "old");
    P->PathName = dir.file("PART.NC");
    P->WriteFailAction = wfWriteRename;
    faPrepareWriting(*P);
    EXPECT_EQ(P->PathName, dir.file("$ART.NC"));
    writeAt(0, "new");
    faFinishWriting(*P);
    EXPECT_EQ(readBytes(dir.file("PART.NC")), "old");
    EXPECT_EQ(readBytes(dir.file("$ART.NC")), "new");
    // A taken "$" name is kept too, and so is a file whose name is one.
    for (const char* name : {"PART.NC", "$ART.NC"}) {
        P->PathName = dir.file(name);
        faPrepareWriting(*P);
        writeAt(0, name);
        faFinishWriting(*P);
    }
    EXPECT_EQ(readBytes(dir.file("PART.NC")), "old");
    EXPECT_EQ(readBytes(dir.file("$ART.NC")), "new");
    EXPECT_EQ(readBytes(dir.file("$ART1.NC")), "PART.NC");
    EXPECT_EQ(readBytes(dir.file("$ART2.NC")), "$ART.NC");

    P->PathName = dir.file("PART.NC");
    P->WriteFailAction = wfWriteFail;
    faPrepareWriting(*P);
    EXPECT_FALSE(P->FileOpen);
    EXPECT_EQ(P->ProtocolStatus, psCantWriteFile);
    EXPECT_EQ(P->WorkBuffer, nullptr);

    for (TWriteFailAction a : {wfWriteAnyway, wfWriteNone}) {
        P->PathName = dir.file("PART.NC");
        P->WriteFailAction = a;
        faPrepareWriting(*P);
        writeAt(0, "over");
        faFinishWriting(*P);
        EXPECT_EQ(readBytes(dir.file("PART.NC")), "over");
    }
}

TEST_F(FileAccess, UpcaseKeepsTheGivenNameOnACaseSensitiveFileSystem) {
    writeBytes(dir.file("part.nc"), "lower");
    writeBytes(dir.file("PART.NC"), "upper");
    P->UpcaseNames = true;
    P->PathName = dir.file("part.nc");
    peUpcasePathName(*P);
    EXPECT_EQ(P->PathName, dir.file("part.nc")) << "PART.NC is another file here";

    P->PathName = dir.file("new.nc"); // a file still to be created
    peUpcasePathName(*P);
    EXPECT_EQ(P->PathName, dir.file("new.nc"));

    // A name that reaches the same file upper-cased (as on a file system that
    // ignores case) is taken upper-cased: hard links stand in for that here.
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::filesystem::create_directory("ci");
    std::filesystem::create_directory("CI");
    writeBytes("ci/prog.nc", "x");
    std::filesystem::create_hard_link("ci/prog.nc", "CI/PROG.NC");
    P->PathName = "ci/prog.nc";
    peUpcasePathName(*P);
    EXPECT_EQ(P->PathName, "CI/PROG.NC");
    std::filesystem::current_path(cwd);

    P->UpcaseNames = false;
    P->PathName = dir.file("part.nc");
    peUpcasePathName(*P);
    EXPECT_EQ(P->PathName, dir.file("part.nc"));
}

} // namespace
} // namespace vorl
