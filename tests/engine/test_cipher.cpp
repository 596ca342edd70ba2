#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "nv6_encrxm.h"
#include "nv6_glbl.h"

namespace {

std::vector<uint8_t> Bytes(std::size_t n, uint8_t fill = 0) { return std::vector<uint8_t>(n, fill); }

TEST(Cipher, OneCharacterPasswordXorsWithPositionOrKey) {
    // Zero bytes in: the output is the mask itself, (i mod 256) OR the key byte.
    auto in = Bytes(600);
    auto out = Bytes(600, 0xEE);
    EXPECT_EQ(Cipher("A", in.data(), out.data(), in.size(), true), 1);
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], static_cast<uint8_t>((i % 256) | 0x41)) << i;
    // Positions whose bits lie inside the key byte see the key byte alone.
    EXPECT_EQ(out[0x01], 0x41);
    EXPECT_EQ(out[0x40], 0x41);
    EXPECT_EQ(out[0x141], 0x41);  // position 321 wraps to 65
    EXPECT_EQ(out[0x02], 0x43);
}

TEST(Cipher, LongerPasswordRepeatsAndDirectionOnlyChoosesTheResult) {
    const std::string key = "Pw3";
    std::vector<uint8_t> plain(1000);
    std::iota(plain.begin(), plain.end(), uint8_t{7});
    auto enc = plain;
    EXPECT_EQ(Cipher(key, enc.data(), enc.data(), enc.size(), true), 1);  // in place
    for (std::size_t i = 0; i < plain.size(); ++i) {
        const uint8_t mask = static_cast<uint8_t>((i % 256) | uint8_t(key[i % key.size()]));
        ASSERT_EQ(enc[i], static_cast<uint8_t>(plain[i] ^ mask)) << i;
    }
    auto back = Bytes(enc.size());
    EXPECT_EQ(Cipher(key, enc.data(), back.data(), enc.size(), false), -1);
    EXPECT_EQ(back, plain);
    // Every buffer starts over at position 0: a record's cipher does not depend on its place.
    auto head = Bytes(10);
    Cipher(key, plain.data(), head.data(), 10, true);
    EXPECT_EQ(0, std::memcmp(head.data(), enc.data(), 10));
}

TEST(Cipher, EmptyPasswordCopiesOrLeavesInPlace) {
    std::vector<uint8_t> in = {1, 2, 3, 0x1A};
    auto out = Bytes(4, 9);
    EXPECT_EQ(Cipher("", in.data(), out.data(), 4, true), 0);
    EXPECT_EQ(out, in);
    EXPECT_EQ(Cipher("", in.data(), in.data(), 4, false), 0);
    EXPECT_EQ(in, (std::vector<uint8_t>{1, 2, 3, 0x1A}));
}

TEST(Cipher, RecipherMovesBetweenAnyTwoKeys) {
    std::vector<uint8_t> plain(300);
    std::iota(plain.begin(), plain.end(), uint8_t{0});
    auto buf = plain;
    Recipher("", "first", buf.data(), buf.size());  // plain -> enciphered
    auto expect = plain;
    EncipherInPlace("first", expect.data(), expect.size());
    EXPECT_EQ(buf, expect);
    Recipher("first", "second key", buf.data(), buf.size());  // re-key
    expect = plain;
    EncipherInPlace("second key", expect.data(), expect.size());
    EXPECT_EQ(buf, expect);
    Recipher("second key", "", buf.data(), buf.size());  // enciphered -> plain
    EXPECT_EQ(buf, plain);
}

TEST(Cipher, EncipheredAppendKeepsRecordPlainAndEndByteUnenciphered) {
    std::vector<uint8_t> record = {' ', 'A', 'B', 'C'};
    auto work = Bytes(5);
    EncipherRecord("k", record.data(), work.data(), 4, true);
    EXPECT_EQ(record, (std::vector<uint8_t>{' ', 'A', 'B', 'C'}));
    EXPECT_EQ(work[4], 0x1A);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(work[i], static_cast<uint8_t>(record[i] ^ (i | 'k')));
    work[4] = 0x55;
    EncipherRecord("k", record.data(), work.data(), 4, false);  // a rewrite leaves byte R alone
    EXPECT_EQ(work[4], 0x55);

    TnvCipherKeys keys{true, "old", "new"};
    auto via = Bytes(4);
    keys.EncipherWrite(record.data(), via.data(), 4);
    auto expect = record;
    EncipherInPlace("new", expect.data(), 4);
    EXPECT_EQ(via, expect);
    keys.DecipherRead(expect.data(), 4);  // reads use the other key
    auto viaOld = record;
    EncipherInPlace("new", viaOld.data(), 4);
    DecipherInPlace("old", viaOld.data(), 4);
    EXPECT_EQ(expect, viaOld);
    keys.enciphered = false;
    keys.EncipherWrite(record.data(), via.data(), 4);
    EXPECT_EQ(via, record);
}

// Three descriptors: C of 300 bytes (high byte 1), N 10,2 (decimals must not count), M 10.
std::vector<uint8_t> Descriptors() {
    std::vector<uint8_t> area(3 * 32, 0);
    auto put = [&](int f, const char* name, char type, uint8_t len, uint8_t dec) {
        std::memcpy(&area[32 * f], name, std::strlen(name));
        area[32 * f + 11] = uint8_t(type);
        area[32 * f + 16] = len;
        area[32 * f + 17] = dec;
    };
    put(0, "NAME", 'C', 300 % 256, 300 / 256);
    put(1, "AMOUNT", 'N', 10, 2);
    put(2, "NOTES", 'M', 10, 0);
    return area;
}

TEST(Cipher, PasswordCheckAddsFieldLengthsAfterDeciphering) {
    auto area = Descriptors();
    EXPECT_EQ(DescriptorRecordLength(area.data(), 3), 1u + 300 + 10 + 10);

    auto stored = area;
    EncipherInPlace("secret", stored.data(), stored.size());
    auto opened = stored;
    DecipherInPlace("secret", opened.data(), opened.size());
    EXPECT_NO_THROW(CheckPasswordFits(opened.data(), 3, 321, "/t/a.dbf"));

    auto wrong = stored;
    DecipherInPlace("wrong", wrong.data(), wrong.size());
    try {
        CheckPasswordFits(wrong.data(), 3, 321, "/t/a.dbf");
        FAIL() << "a wrong password passed";
    } catch (const ENorvaneEncryption& e) {
        EXPECT_EQ(e.Message(), "Invalid Password for encrypted file /t/a.dbf");
    }
}

TEST(Cipher, PasswordPresenceMustMatchTheTable) {
    EXPECT_NO_THROW(CheckPasswordGiven(false, "", "/t/a.dbf"));
    EXPECT_NO_THROW(CheckPasswordGiven(true, "pw", "/t/a.dbf"));
    try {
        CheckPasswordGiven(false, "pw", "/t/a.dbf");
        FAIL();
    } catch (const ENorvaneEncryption& e) {
        EXPECT_EQ(e.Message(), "A Password is included for unencrypted file /t/a.dbf");
    }
    try {
        CheckPasswordGiven(true, "", "/t/a.dbf");
        FAIL();
    } catch (const ENorvaneEncryption& e) {
        EXPECT_EQ(e.Message(), "No Password for encrypted file /t/a.dbf");
    }
}

}  // namespace
