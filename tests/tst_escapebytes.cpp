// SPDX-License-Identifier: MIT
// The escape decoder on bytes from 0x80 up, as digits and around escapes.
// char is signed on x86-64 and unsigned on AArch64: the answers must not differ.
#include "cmstoragelinkworker.h"

#include <QtTest>

#include <clocale>

class TestEscapeBytes : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void decodeEscape_data();
    void decodeEscape();
};

void TestEscapeBytes::initTestCase()
{
    // What isalnum accepts beyond ASCII follows the locale: in C and UTF-8
    // locales no byte from 0x80 up is alphanumeric.
    QVERIFY(std::setlocale(LC_CTYPE, "C.UTF-8"));
}

void TestEscapeBytes::decodeEscape_data()
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    // Expected bytes in hexadecimal, so that no literal depends on char.
    QTest::newRow("escape for 0x80") << QByteArray("\\x80") << QByteArray::fromHex("80");
    QTest::newRow("escape for 0xff") << QByteArray("a\\xffb") << QByteArray::fromHex("61ff62");
    QTest::newRow("escapes for UTF-8") << QByteArray("\\xC3\\xA9") << QByteArray::fromHex("c3a9");
    QTest::newRow("raw high bytes")
        << QByteArray::fromHex("c3a980ff") << QByteArray::fromHex("c3a980ff");
    QTest::newRow("high bytes around an escape")
        << QByteArray::fromHex("ff5c783431fe") << QByteArray::fromHex("ff41fe");
    QTest::newRow("high bytes as digits")
        << QByteArray::fromHex("5c78c3a9") << QByteArray::fromHex("5c78c3a9");
    QTest::newRow("high byte as second digit")
        << QByteArray::fromHex("5c7834b0") << QByteArray::fromHex("5c7834b0");
    QTest::newRow("decoded backslash starts no escape")
        << QByteArray("\\x5cx41") << QByteArray("\\x41");
}

void TestEscapeBytes::decodeEscape()
{
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    QCOMPARE(CMStorageLinkWorker::decodeEscape(in), out);
}

QTEST_GUILESS_MAIN(TestEscapeBytes)
#include "tst_escapebytes.moc"
