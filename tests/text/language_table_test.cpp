#include "text/language_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

std::filesystem::path writeFile(const std::string& name, const std::string& bytes) {
    auto path = std::filesystem::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

TEST(LanguageTable, MissingFileLeavesBuiltInTexts) {
    vorl::LanguageTable table;
    EXPECT_EQ(table.LoadLanguageFile("/nonexistent/vorl.lan"), "NO");
    EXPECT_FALSE(table.HasText(13));
}

TEST(LanguageTable, EntryLinesQuotesAndComments) {
    vorl::LanguageTable table;
    auto path = writeFile("vorl_lang_test.lan", "* a comment\r\n"
                                                "\n"
                                                "5,  word\r\n"
                                                "13,\"Verbinden  \" trailing ignored\n"
                                                "0,zero\n"
                                                "499,font by id\n"
                                                "-3,negative\n"
                                                "700,too big\n"
                                                "abc,not a number\n"
                                                "PRIMARYFONT  \"Arial\"\n"
                                                "51,Halt\n"
                                                "51,Stopp");
    EXPECT_EQ(table.LoadLanguageFile(path.string()), "OK");
    EXPECT_EQ(table.GetText(5), "word");
    EXPECT_EQ(table.GetText(13), "Verbinden  ");
    EXPECT_EQ(table.GetText(0), "");
    EXPECT_EQ(table.GetText(499), "Arial");
    EXPECT_EQ(table.GetText(51), "Stopp")
        << "a later line replaces, a last line without break counts";
    std::filesystem::remove(path);
}

TEST(LanguageTable, LinesThatAreNotEntriesChangeNothing) {
    vorl::LanguageTable table;
    table.setText(5, "kept");
    auto path = writeFile("vorl_lang_plain.lan", "* only comments\n"
                                                 "   * indented comment\n"
                                                 "5\n"
                                                 "5 no comma either\n"
                                                 "x5,letters before\n");
    EXPECT_EQ(table.LoadLanguageFile(path.string()), "OK");
    EXPECT_EQ(table.GetText(5), "kept");
    EXPECT_EQ(table.LoadLanguageFile(std::filesystem::temp_directory_path().string()), "NO")
        << "a directory is no language file";
    std::filesystem::remove(path);
}

TEST(LanguageTable, BuiltInTextsAndTheUseRule) {
    using vorl::TextId;
    // The ids are the language files' numbers.
    EXPECT_EQ(static_cast<int>(TextId::Connect), 13);
    EXPECT_EQ(static_cast<int>(TextId::FirstMachinePrompt), 101);
    EXPECT_EQ(static_cast<int>(TextId::HintUploadEnd), 357);
    EXPECT_EQ(vorl::BuiltinText(TextId::Connect), "Connect");
    EXPECT_EQ(vorl::BuiltinText(TextId::DownloadItemPrefix), "To: ");
    EXPECT_EQ(vorl::BuiltinText(TextId::ReviewRestartItem), "&Review / Restart...");
    EXPECT_EQ(vorl::BuiltinText(TextId::ConfigFileDamaged),
              "VORL configuration file is damaged. Machine parameters may be incorrect.");
    EXPECT_EQ(vorl::BuiltinText(TextId::HintUploadEnd),
              "Character(s) sent by machine controller when it has finished uploading data");
    EXPECT_EQ(vorl::BuiltinText(TextId::ContactLine1), "") << "contact lines have no built-in text";

    vorl::LanguageTable& table = vorl::Language();
    table.clear();
    EXPECT_EQ(vorl::Text(TextId::Stop), "Stop");
    table.setText(51, "Halt");
    EXPECT_EQ(vorl::Text(TextId::Stop), "Halt");
    table.clear();
    // By number: the id's own text, whatever English is given beside it.
    EXPECT_EQ(vorl::TextOr(186, "Upload cancelled"), "Download cancelled");
    EXPECT_EQ(vorl::TextOr(2700, "&History..."), "&History...");
}

// Language files written for the older program are in the Windows code page of
// Western Europe; the texts are shown as UTF-8.
TEST(LanguageTable, LinesInTheWindowsCodePageBecomeUtf8) {
    vorl::LanguageTable table;
    auto path = writeFile("vorl_lang_1252.lan", "22,Maschine f\xfc"
                                                "r Gr\xf6\xdf"
                                                "e\n"
                                                "23,\x84"
                                                "Datei\x93 \x96 \x80\n"
                                                "24,Schon UTF-8: \xc3\xa4\n"
                                                "25,\xe0 la carte\n");
    EXPECT_EQ(table.LoadLanguageFile(path.string()), "OK");
    EXPECT_EQ(table.GetText(22), "Maschine f\u00fcr Gr\u00f6\u00dfe");
    EXPECT_EQ(table.GetText(23), "\u201eDatei\u201c \u2013 \u20ac");
    EXPECT_EQ(table.GetText(24), "Schon UTF-8: \u00e4");
    EXPECT_EQ(table.GetText(25), "\u00e0 la carte");
    std::filesystem::remove(path);
}

// The limit counts characters: a line of letters that take two bytes each in
// UTF-8, or three once a Windows code page line is made UTF-8, is cut after
// its 399th character, never inside one, and only a line longer than 399
// characters ends the reading.
TEST(LanguageTable, OverlongLineIsCutAndEndsReading) {
    vorl::LanguageTable table;
    std::string longText(500, 'x');
    auto path = writeFile("vorl_lang_long.lan", "7," + longText + "\n8,after\n");
    EXPECT_EQ(table.LoadLanguageFile(path.string()), "OK");
    EXPECT_EQ(table.GetText(7).size(), 397u);
    EXPECT_FALSE(table.HasText(8));
    std::filesystem::remove(path);

    std::string letters;
    for (int i = 0; i < 500; ++i) {
        letters += "\xd0\x96"; // a Cyrillic letter
    }
    path = writeFile("vorl_lang_chars.lan",
                     "7," + letters.substr(0, 2 * 300) + "\n8," + letters + "\n10,after\n");
    vorl::LanguageTable chars;
    EXPECT_EQ(chars.LoadLanguageFile(path.string()), "OK");
    EXPECT_EQ(chars.GetText(7), letters.substr(0, 2 * 300)) << "300 characters are not too long";
    EXPECT_EQ(chars.GetText(8), letters.substr(0, 2 * 397));
    EXPECT_FALSE(chars.HasText(10));
    std::filesystem::remove(path);

    const std::string euros(450, '\x80');
    std::string euroSigns;
    for (int i = 0; i < 397; ++i) {
        euroSigns += "\u20ac";
    }
    path = writeFile("vorl_lang_1252long.lan", "9," + euros + "\n10,after\n");
    vorl::LanguageTable codePage;
    EXPECT_EQ(codePage.LoadLanguageFile(path.string()), "OK");
    EXPECT_EQ(codePage.GetText(9), euroSigns);
    EXPECT_FALSE(codePage.HasText(10));
    std::filesystem::remove(path);
}

} // namespace
