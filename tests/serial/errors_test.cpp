#include "serial/errors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <typeinfo>

namespace vorl {
namespace {

// Runs CheckException(code) and hands back what it threw.
std::exception_ptr raised(int32_t code) {
    try {
        CheckException(code);
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// The exception object lives as long as `p` (rethrow does not copy it here).
template <class E> const E* as(const std::exception_ptr& p) {
    try {
        std::rethrow_exception(p);
    } catch (const E& e) {
        return &e;
    } catch (...) {
        return nullptr;
    }
}

TEST(ErrorTexts, CodeAndItsAbsoluteValueGiveTheSameText) {
    EXPECT_EQ(ErrorMsg(-2008), "ie_Open - device already open");
    EXPECT_EQ(ErrorMsg(2008), "ie_Open - device already open");
    EXPECT_EQ(ErrorMsg(-6006), "Fatal time out");
    EXPECT_EQ(ErrorMsg(-5), "File access denied");
    EXPECT_EQ(ErrorMsg(0), "OK");
    EXPECT_EQ(ErrorMsg(psDuplicateBlock), "Duplicate block received and ignored ");
    EXPECT_EQ(ErrorMsg(psCantWriteFile), "File skipped ");
    // A failed or hung-up device has a code of its own, not "File not found".
    EXPECT_EQ(ErrorMsg(ecLineLost), "Line to the machine tool lost");
}

TEST(ErrorTexts, CodeOutsideTheTableUsesTheSystemTextCleaned) {
    // 87 is not in the table; the text is the system's for that number.
    const char* sys = strerrordesc_np(87);
    ASSERT_NE(sys, nullptr);
    EXPECT_EQ(ErrorMsg(-87), CleanSystemText(sys));
    EXPECT_FALSE(ErrorMsg(-87).empty());

    EXPECT_EQ(CleanSystemText("Line one.\r\n\r\nLine  two\t"), "Line one. Line two ");
    EXPECT_EQ(CleanSystemText("\x01\x02"), " ");

    // Neither in the table nor known to the system: empty, never an error.
    EXPECT_EQ(ErrorMsg(-100000), "");
    EXPECT_EQ(ErrorMsg(INT32_MIN), "");
    EXPECT_EQ(MapCodeToStringID(INT32_MIN), 2147483648u);
}

TEST(ErrorTexts, LoadErrorZCutsToTheBufferAndNeverOverruns) {
    char buf[kErrorZSize + 8];
    std::memset(buf, 'x', sizeof buf);
    LoadErrorZ(-2011, buf);
    EXPECT_STREQ(buf, "The ComNumber property of the TComPort has not been set");

    std::memset(buf, 'x', sizeof buf);
    LoadErrorZ(-2011, buf, 10);
    EXPECT_STREQ(buf, "The ComNu");
    EXPECT_EQ(buf[10], 'x');

    LoadErrorZ(-2011, buf, 1);
    EXPECT_STREQ(buf, "");
    // An absent id gives an empty text, even where the system has one.
    LoadErrorZ(-87, buf, sizeof buf);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(LoadErrorZ(-1, nullptr, 80), nullptr);
}

TEST(CheckException, ZeroPositiveAndLoadingReturnTheCode) {
    EXPECT_EQ(CheckException(0), 0);
    EXPECT_EQ(CheckException(17), 17);
    EXPECT_EQ(CheckException(-2008, true), -2008);
}

TEST(CheckException, TableCodesRaiseTheirClassWithTheirText) {
    struct Case {
        int32_t code;
        bool (*isExpected)(const std::exception_ptr&);
    };
    const Case cases[] = {
        {-1002, [](auto& p) { return as<EBadArgument>(p) && as<EGeneral>(p); }},
        {-1005, [](auto& p) { return as<EPortNotAssigned>(p) != nullptr; }},
        {-2001, [](auto& p) { return as<EBadId>(p) && as<EOpenComm>(p); }},
        {-2005, [](auto& p) { return as<EHardware>(p) != nullptr; }},
        {-2007, [](auto& p) { return as<ECommNotOpen>(p) != nullptr; }},
        {-2008, [](auto& p) { return as<EAlreadyOpen>(p) && !as<EBadId>(p); }},
        {-2011, [](auto& p) { return as<ENoPortSelected>(p) != nullptr; }},
        {-3001, [](auto& p) { return as<ENullApi>(p) && as<ESerialIO>(p); }},
        {-3006, [](auto& p) { return as<EOutputBufferTooSmall>(p) != nullptr; }},
        {-3007, [](auto& p) { return as<EBufferIsEmpty>(p) != nullptr; }},
        {ecLineLost, [](auto& p) { return as<ELineLost>(p) && as<ESerialIO>(p); }},
        {-5002, [](auto& p) { return as<ETriggerTooLong>(p) && as<ETrigger>(p); }},
        {-5003, [](auto& p) { return as<EBadTriggerHandle>(p) != nullptr; }},
        {-6006, [](auto& p) { return as<EProtocol>(p) && !as<ETimeout>(p); }},
        {-6008, [](auto& p) { return as<EProtocol>(p) != nullptr; }},
        {-6009, [](auto& p) { return as<EProtocol>(p) != nullptr; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const auto p = raised(c.code);
        ASSERT_TRUE(p);
        EXPECT_TRUE(c.isExpected(p));
        const auto* e = as<ECommException>(p);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->ErrorCode, c.code);
        EXPECT_EQ(std::string(e->what()), ErrorMsg(c.code));
        EXPECT_EQ(XlatException(p), c.code);
    }
    // Every code of the open range is an EOpenComm.
    for (int32_t code = -2012; code <= -2001; ++code) {
        EXPECT_NE(as<EOpenComm>(raised(code)), nullptr) << code;
    }
}

TEST(CheckException, CodesWithoutAClassRaiseAPlainCommunicationsException) {
    for (int32_t code : {-6005, -1001, -3002, -5001, -6016, -163, -1, -4001, INT32_MIN}) {
        SCOPED_TRACE(code);
        const auto p = raised(code);
        const auto* e = as<ECommException>(p);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(typeid(*e), typeid(ECommException));
        EXPECT_STREQ(e->what(), "Communications exception");
        EXPECT_EQ(e->ErrorCode, 0);
    }
}

TEST(CheckException, FileRangeRaisesTheFileErrorAndMinusEightOutOfMemory) {
    auto p = raised(-5);
    const auto* f = as<EFileError>(p);
    ASSERT_NE(f, nullptr);
    EXPECT_STREQ(f->what(), "File access denied");
    EXPECT_EQ(f->ErrorNumber, 5);
    EXPECT_EQ(XlatException(p), -5);

    p = raised(-162);
    ASSERT_NE(as<EFileError>(p), nullptr);
    EXPECT_STREQ(as<EFileError>(p)->what(), "General failure");

    p = raised(-8);
    ASSERT_NE(as<std::bad_alloc>(p), nullptr);
    EXPECT_EQ(as<EFileError>(p), nullptr);
    EXPECT_STREQ(as<std::bad_alloc>(p)->what(), "Insufficient memory");
    EXPECT_EQ(XlatException(p), -8);
}

TEST(XlatException, ForeignExceptionsGiveTheUnknownCode) {
    EXPECT_EQ(XlatException(std::runtime_error("x")), kUnknownExceptionCode);
    EXPECT_EQ(XlatException(std::make_exception_ptr(42)), kUnknownExceptionCode);
    EXPECT_EQ(XlatException(std::exception_ptr()), kUnknownExceptionCode);
    EXPECT_EQ(XlatException(std::bad_alloc()), -8);
    EXPECT_EQ(XlatException(ECommException("plain")), 0);
}

} // namespace
} // namespace vorl
