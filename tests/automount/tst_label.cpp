// SPDX-License-Identifier: MIT
// Label files: blkid's encoding and its inverse, the UTF-8 check both rest
// on, FAT labels in a DOS code page, and the escaping of outside text in
// messages.
#include "failure.h"
#include "label.h"

#include <QtTest>

using namespace orva::automount;

class TestLabel : public QObject
{
    Q_OBJECT
private slots:
    void utf8_data();
    void utf8();
    void encode_data();
    void encode();
    void decode_data();
    void decode();
    void fatLabel_data();
    void fatLabel();
    void codepageSetting();
    void printableText_data();
    void printableText();

private:
    static QByteArray bytes(const std::string &text) { return QByteArray::fromStdString(text); }
};

void TestLabel::utf8_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("first"); // the length of its first sequence
    QTest::addColumn<bool>("valid");
    const auto row = [](const char *tag, const QByteArray &text, int first, bool valid) {
        QTest::newRow(tag) << text << first << valid;
    };
    row("empty", "", 0, true);
    row("ASCII, DEL and NUL", QByteArray("A\x7f\0", 3), 1, true);
    row("2 bytes", "\xc3\xa9", 2, true);
    row("3 bytes", "\xe2\x82\xac", 3, true);
    row("either side of the surrogates", "\xed\x9f\xbf\xee\x80\x80", 3, true);
    row("4 bytes", "\xf0\x9f\x98\x80", 4, true);
    row("U+10FFFF", "\xf4\x8f\xbf\xbf", 4, true);
    row("overlong C0", "\xc0\x80", 0, false);
    row("overlong E0", "\xe0\x80\x80", 0, false);
    row("overlong F0", "\xf0\x80\x80\x80", 0, false);
    row("surrogate", "\xed\xa0\x80", 0, false);
    row("beyond U+10FFFF", "\xf4\x90\x80\x80", 0, false);
    row("lead F5", "\xf5\x80\x80\x80", 0, false);
    row("cut 2", "\xc3", 0, false);
    row("ASCII inside a sequence", "\xe2\x82\x41", 0, false);
    row("stray continuation", "\x80", 0, false);
    row("stray after valid", "\xc3\xa9\xbf", 2, false);
}

void TestLabel::utf8()
{
    QFETCH(QByteArray, text);
    QFETCH(int, first);
    QFETCH(bool, valid);
    QCOMPARE(int(utf8SequenceLength(text.toStdString())), first);
    QCOMPARE(isUtf8(text.toStdString()), valid);
}

void TestLabel::encode_data()
{
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<QByteArray>("encoded");
    const auto row = [](const char *tag, const QByteArray &label, const QByteArray &encoded) {
        QTest::newRow(tag) << label << encoded;
    };
    row("kept", "USB_Stick-2.0#+:=@", "USB_Stick-2.0#+:=@");
    row("UTF-8 kept", "Café€😀", "Café€😀");
    row("blanks", "a b\tc", "a\\x20b\\x09c");
    row("quotes, backslash", "'\"\\`", "\\x27\\x22\\x5c\\x60");
    row("shell and path", "$HOME/a;b|c&(d)*", "\\x24HOME\\x2fa\\x3bb\\x7cc\\x26\\x28d\\x29\\x2a");
    row("controls", "\x01\n\x1b\x7f", "\\x01\\x0a\\x1b\\x7f");
    row("invalid UTF-8, in lowercase", "\xE9t\xc0\xaf\xed\xa0\x80",
        "\\xe9t\\xc0\\xaf\\xed\\xa0\\x80");
    // Every byte escaped: the encoding is four times as long as the label.
    row("all escaped", "\xff\xfe\x01", "\\xff\\xfe\\x01");
    row("cut at NUL", QByteArray("ab\0c d", 6), "ab");
    // libblkid keeps these as the valid UTF-8 they are.
    row("C1 controls", "\xc2\x80\xc2\x85\xc2\x9f\xc2\xa0",
        "\\xc2\\x80\\xc2\\x85\\xc2\\x9f\xc2\xa0");
    row("bidirectional controls, separators",
        "ok\xe2\x80\xae\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\xa8",
        "ok\\xe2\\x80\\xae\\xd8\\x9c\\xe2\\x80\\x8e\\xe2\\x80\\x8f\\xe2\\x81\\xa6\\xe2\\x81\\xa9"
        "\\xe2\\x80\\xa8");
    // U+061B, U+200D, U+2027, U+202F, U+2065, U+206A: their neighbours, all text.
    const QByteArray neighbours =
        "\xd8\x9b\xe2\x80\x8d\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa";
    row("neighbours kept", neighbours, neighbours);
}

void TestLabel::encode()
{
    QFETCH(QByteArray, label);
    QFETCH(QByteArray, encoded);
    QCOMPARE(bytes(encodeLabel(label.toStdString())), encoded);
    QCOMPARE(bytes(decodeLabel(encoded.toStdString())), QByteArray(label.constData()));
}

void TestLabel::decode_data()
{
    QTest::addColumn<QByteArray>("encoded");
    QTest::addColumn<QByteArray>("label");
    const auto row = [](const char *tag, const QByteArray &encoded, const QByteArray &label) {
        QTest::newRow(tag) << encoded << label;
    };
    row("escapes", "USB\\x20Stick\\x2f2", "USB Stick/2");
    row("uppercase hex", "\\x5C\\xE9\\xeA", "\\\xe9\xea");
    row("no hex after \\x", "a\\xg1\\x4 \\x4", "a\\xg1\\x4 \\x4");
    row("trailing backslash", "a\\", "a\\");
    row("other backslashes", "\\n\\\\x41", "\\n\\A");
}

void TestLabel::decode()
{
    QFETCH(QByteArray, encoded);
    QFETCH(QByteArray, label);
    QCOMPARE(bytes(decodeLabel(encoded.toStdString())), label);
}

void TestLabel::fatLabel_data()
{
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<int>("codepage");
    QTest::addColumn<QByteArray>("utf8");
    const auto row = [](const char *tag, const QByteArray &label, int codepage,
                        const QByteArray &utf8) {
        QTest::newRow(tag) << label << codepage << utf8;
    };
    row("CP850", "M\x9aSIK", 850, "MÜSIK");
    row("UTF-8 stays", "MÜSIK", 850, "MÜSIK");
    // Only the byte that is no UTF-8 is read in the code page: E1 is ß.
    row("UTF-8 and a stray byte", "Grü\xe1\x65", 850, "Grüße");
    // FAT's 11 bytes end inside a character; its lead byte is CP850's C3.
    row("UTF-8 cut by FAT", "ÜBERWEISU\xc3", 850, "ÜBERWEISU├");
    row("leading dash", "-M\x9aSIK", 850, "-MÜSIK");
    row("CP437 9B", "\x9b", 437, "¢");
    row("CP850 9B", "\x9b", 850, "ø");
    row("unknown code page", "M\x9aSIK", 99999, QByteArray());
}

void TestLabel::fatLabel()
{
    QFETCH(QByteArray, label);
    QFETCH(int, codepage);
    QFETCH(QByteArray, utf8);
    const std::optional<std::string> result = fatLabelToUtf8(label.toStdString(), codepage);
    QCOMPARE(result.has_value(), !utf8.isNull());
    if (result)
        QCOMPARE(bytes(*result), utf8);
}

void TestLabel::printableText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("shown");
    const auto row = [](const char *tag, const QByteArray &text, const QByteArray &shown) {
        QTest::newRow(tag) << text << shown;
    };
    row("plain", "/dev/sda1 is busy", "/dev/sda1 is busy");
    row("UTF-8", "Café 😀", "Café 😀");
    row("controls, DEL, NUL", QByteArray("a\tb\nc\x1b[2J\r\x7f\0", 12),
        "a\\x09b\\x0ac\\x1b[2J\\x0d\\x7f\\x00");
    // U+009B is a terminal's CSI in one character; U+00A0 is text.
    row("C1 controls",
        "\xc2\x9b"
        "2J\xc2\x80\xc2\xa0",
        "\\xc2\\x9b2J\\xc2\\x80\xc2\xa0");
    row("invalid UTF-8", "\xe9t\xc0\x80\xed\xa0\x80z\xe2\x82",
        "\\xe9t\\xc0\\x80\\xed\\xa0\\x80z\\xe2\\x82");
    // U+202E turns what follows around, U+2028 breaks the line; U+202F is text.
    row("bidirectional controls, separators", "a\xe2\x80\xae-\xe2\x80\xa8\xe2\x80\xaf",
        "a\\xe2\\x80\\xae-\\xe2\\x80\\xa8\xe2\x80\xaf");
}

void TestLabel::printableText()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, shown);
    QCOMPARE(bytes(printable(text.toStdString())), shown);
}

// FAT_CODEPAGE: one to five digits; anything else is refused, not guessed.
void TestLabel::codepageSetting()
{
    QCOMPARE(codepageNumber("850"), 850);
    QCOMPARE(codepageNumber("00437"), 437);
    for (const char *bad : {"", "cp850", "-850", "850 ", "123456"})
        QVERIFY_EXCEPTION_THROWN(codepageNumber(bad), Failure);
}

QTEST_APPLESS_MAIN(TestLabel)
#include "tst_label.moc"
