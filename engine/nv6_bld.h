// Table builders: a builder collects field definitions and writes a new, empty table file
// (header, descriptors, terminator, end-of-file byte) and, when a memo field is present, the
// empty memo file of its table style: NVO_DBFBuild dBase III (.dbt), NVO_DB4Build dBase IV
// (.dbt with a dBase IV header), NVO_DBFoxBuild FoxPro (.fpt).
//
// The structure editor and the cursor's table copy use them. A builder owns its descriptors
// and the table file it created (open until the builder goes). Not copyable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "nv6_coll.h"
#include "nv6_dbf.h"
#include "nv6_disk.h"

// What the tables a builder makes can hold and still be read by the other programs of the
// family. The builders write whatever they are given; callers check fields against these.
struct TnvTableLimits {
    int maxFields;
    // The field type letters the flavour knows.
    const char* types;
    static constexpr int kMaxCharLength = 254;
    // N, and F where the flavour has it.
    static constexpr int kMaxNumericLength = 20;
};

class NVO_DBFBuild : public TnvCollection<TnvFieldDescriptor> {
public:
    // Trims the name and adds ".DBF" when it has no extension. Creates nothing yet.
    explicit NVO_DBFBuild(std::string_view fileName);
    // Builds when no table was created yet and creation is enabled. Never throws: the owner
    // is expected to call Build itself; a failure here is reported on stderr.
    ~NVO_DBFBuild() override;

    // --- virtual operations, in slot order ---
    // 1. Creates (or empties) the table file exclusive and writes it, then the memo file
    //    when a memo field was added. Does nothing while creation is disabled. Raises
    //    "Could not create file %s", "Error writing to %s", or "Table Header for %s is
    //    invalid" when the record or header length does not fit its 16 bits.
    virtual void Build();
    // 2. Appends a field: name upper-cased and cut to 10, type the upper-cased first
    //    character; B, G, M are 10 bytes (and need a memo file), D 8, L 1, C up to 65,535
    //    (its high byte in the decimals byte), others as given. An empty name adds nothing.
    virtual void AddField(std::string_view name, std::string_view type, int length, int decimals);
    // 3. Writes header, descriptors, terminator and end-of-file byte (32 x F + 34 bytes).
    virtual void WriteTableHeader();
    // 4. Creates, writes and closes the empty memo file of this builder's style.
    virtual void CreateMemoFile();

    // Header byte 29, the code page the table's text is written in (0: none named). A
    // rebuilt table keeps its old one so that its text keeps its meaning.
    uint8_t LanguageDriver() const { return languageDriver_; }
    void SetLanguageDriver(uint8_t value) { languageDriver_ = value; }

    bool CreateEnabled() const { return createEnabled_; }
    void SetCreateEnabled(bool value) { createEnabled_ = value; }
    bool MemoNeeded() const { return memoNeeded_; }
    int RecordLength() const { return recordLength_; }
    const std::string& FileName() const { return fileName_; }
    const std::string& BaseNameOfTable() const { return baseName_; }
    // The version byte the table gets: with memo fields this builder's own, else 0x03.
    uint8_t VersionByte() const { return memoNeeded_ ? versionWithMemo_ : versionPlain_; }
    // The created table file (open), or nullptr before Build.
    NVO_DiskFile* TableFile() const { return tableFile_.get(); }
    // dBase III: C, N, D, L, M and 128 fields; dBase IV: C, N, F, D, L, M; FoxPro: C, N, F,
    // D, L, M, G; both 255 fields.
    TnvTableLimits Limits() const;

protected:
    // The build a destructor still owes; each builder's own destructor calls it so that its
    // own CreateMemoFile is the one used.
    void BuildOnDestruction() noexcept;
    // The memo file's path: the table's name with `ext`, in the letter case of the table's.
    std::string MemoFileName(std::string_view ext) const;
    // Creates the memo file and writes `bytes` into it.
    void WriteMemoFile(std::string_view ext, const uint8_t* bytes, int count);

    uint8_t versionWithMemo_ = nvdbf::kVerDb3Memo;

private:
    bool memoNeeded_ = false;
    uint8_t versionPlain_ = nvdbf::kVerPlain3;
    std::unique_ptr<NVO_DiskFile> tableFile_;
    std::string fileName_;
    int recordLength_ = 1;
    std::string baseName_;
    bool createEnabled_ = true;
    uint8_t languageDriver_ = 0;
};

// dBase IV style: version 0x8B with memo fields, a 24-byte .dbt header.
class NVO_DB4Build : public NVO_DBFBuild {
public:
    explicit NVO_DB4Build(std::string_view fileName);
    ~NVO_DB4Build() override;
    void CreateMemoFile() override;
};

// FoxPro style: version 0xF5 with memo fields, a 512-byte .fpt header.
class NVO_DBFoxBuild : public NVO_DBFBuild {
public:
    explicit NVO_DBFoxBuild(std::string_view fileName);
    ~NVO_DBFoxBuild() override;
    void CreateMemoFile() override;
};
