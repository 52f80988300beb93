#include "transfer/temp_file.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace vorl {
namespace {

class TempFiles : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TMPDIR");
        saved = old != nullptr ? old : "";
        hadTmpdir = old != nullptr;
    }
    void TearDown() override {
        if (hadTmpdir) {
            setenv("TMPDIR", saved.c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }
    std::string saved;
    bool hadTmpdir = false;
};

TEST_F(TempFiles, UniqueExclusiveAndPrivateInTmpdir) {
    test::ScratchDir dir;
    setenv("TMPDIR", (dir.path() + "/").c_str(), 1);
    EXPECT_EQ(temporaryDirectory(), dir.path());

    TempFile a = createTempFile();
    TempFile b = createTempFile();
    ASSERT_GE(a.fd, 0);
    ASSERT_GE(b.fd, 0);
    EXPECT_NE(a.path, b.path);
    EXPECT_EQ(a.path.rfind(dir.path() + "/vor", 0), 0u) << a.path;
    struct stat st {};
    ASSERT_EQ(fstat(a.fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(lstat(a.path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    close(a.fd);
    close(b.fd);

    const std::string name = createTempFileName("log");
    EXPECT_EQ(name.rfind(dir.path() + "/log", 0), 0u) << name;
    EXPECT_EQ(access(name.c_str(), F_OK), 0);
    deleteTempFile(name);
    deleteTempFile(a.path);
    deleteTempFile(b.path);
    EXPECT_NE(access(name.c_str(), F_OK), 0);
    deleteTempFile(name); // already gone: fine
    deleteTempFile("");
}

TEST_F(TempFiles, FallsBackToTmp) {
    setenv("TMPDIR", "/nonexistent/vorl", 1);
    EXPECT_EQ(temporaryDirectory(), "/tmp");
    unsetenv("TMPDIR");
    EXPECT_EQ(temporaryDirectory(), "/tmp");
}

TEST_F(TempFiles, FailureIsReported) {
    setenv("TMPDIR", "/proc", 1); // a directory nobody can create files in
    TempFile f = createTempFile();
    EXPECT_LT(f.fd, 0);
    EXPECT_TRUE(f.path.empty());
    EXPECT_NE(f.error, 0);
    EXPECT_TRUE(createTempFileName().empty());
}

} // namespace
} // namespace vorl
