// Record encryption: the byte cipher of password-protected tables and the small building
// blocks the table, the memo files, the index files and the cursor's password change apply
// it with. Everything here works on caller-owned byte buffers and knows nothing of files;
// the table (nv6_dbf) decides where a buffer comes from and which password applies.
//
// The cipher XORs byte i with (i mod 256) OR the password's byte (i mod L), so enciphering and
// deciphering are the same operation and every buffer (record, descriptor area, memo text,
// index page) starts over at i = 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Copies `count` bytes from `source` to `destination`, XORed with the password stream.
// Returns 0 when the password is empty (the bytes are copied unchanged; nothing moves when
// both buffers are the same), 1 when enciphering, -1 when deciphering. The two buffers may be
// the same but must not otherwise overlap.
int Cipher(std::string_view password, const void* source, void* destination, std::size_t count,
           bool encipher);

// Deciphers `count` bytes in place; an empty password leaves them as they are.
inline void DecipherInPlace(std::string_view password, void* buffer, std::size_t count) {
    Cipher(password, buffer, buffer, count, false);
}

// Enciphers `count` bytes in place; an empty password leaves them as they are.
inline void EncipherInPlace(std::string_view password, void* buffer, std::size_t count) {
    Cipher(password, buffer, buffer, count, true);
}

// Takes a buffer enciphered with `oldPassword` (plain when empty) to one enciphered with
// `newPassword` (plain when empty), in place. This is the re-key step of a password change
// for records, the descriptor area and index pages.
void Recipher(std::string_view oldPassword, std::string_view newPassword, void* buffer,
              std::size_t count);

// Fills the work buffer for writing a record of `recordLength` bytes: the record enciphered
// with `password` (copied when empty), and, when `append` is set, the end-of-file byte 0x1A
// at work[recordLength], which is never enciphered. The record buffer stays plain.
// REQUIRES: `work` holds recordLength + 1 bytes when appending, recordLength otherwise.
void EncipherRecord(std::string_view password, const uint8_t* record, uint8_t* work,
                    std::size_t recordLength, bool append);

// The record length the field descriptors describe: 1 (deletion flag) plus every field's
// length, a C field's length taking its high byte from descriptor offset 17. `area` holds
// `fieldCount` descriptors of 32 bytes.
uint32_t DescriptorRecordLength(const uint8_t* area, std::size_t fieldCount);

// Raises the open-time password mismatches of a table: a password given for a plain table
// (ENorvaneEncryption "A Password is included for unencrypted file %s") or none for an
// enciphered one ("No Password for encrypted file %s"). `fileName` is the table's full path.
void CheckPasswordGiven(bool enciphered, std::string_view password, std::string_view fileName);

// The password test of an enciphered table, made after its descriptor area was deciphered:
// raises ENorvaneEncryption "Invalid Password for encrypted file %s" unless the descriptors'
// record length equals the header's `recordLength`. A wrong password whose garbage lengths
// happen to add up passes; this is the only test there is.
void CheckPasswordFits(const uint8_t* area, std::size_t fieldCount, uint32_t recordLength,
                       std::string_view fileName);

// The keys a table hands to whatever enciphers on its behalf (its memo file, its index
// files). Reading uses `readKey`, writing `writeKey`; an empty key means plain in that
// direction. The two differ only while a password change converts the table.
struct TnvCipherKeys {
    bool enciphered = false;
    std::string readKey;
    std::string writeKey;

    // Deciphers bytes just read, in place, when the table is enciphered.
    void DecipherRead(void* buffer, std::size_t count) const {
        if (enciphered) DecipherInPlace(readKey, buffer, count);
    }
    // Enciphers bytes about to be written, into `destination` (may equal `source`), when the
    // table is enciphered; copies them otherwise.
    void EncipherWrite(const void* source, void* destination, std::size_t count) const;
};
