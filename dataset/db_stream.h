// TStream: the framework's byte-stream base, and TMemoryStream, a stream over owned bytes.
//
// Blob and memo fields are read and written through a stream a dataset creates for them
// (TDataSet::CreateBlobStream); the caller owns that stream and its destruction is where a
// descendant may write the bytes back. Positions and counts are 64-bit; Read and Write
// report how many bytes they moved and never raise, ReadBuffer and WriteBuffer raise
// EStreamError when fewer bytes moved than asked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum TSeekOrigin { soFromBeginning, soFromCurrent, soFromEnd };

class TStream {
public:
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;
    virtual ~TStream() = default;

    // Copies up to `count` bytes from the position into `buffer`; returns the number copied.
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Copies `count` bytes from `buffer` at the position; returns the number written.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    // Moves the position; returns the new position.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    // Changes the length; the base class cannot and raises EStreamError.
    virtual void SetSize(int64_t size);

    int64_t Position() { return Seek(0, soFromCurrent); }
    void SetPosition(int64_t pos) { Seek(pos, soFromBeginning); }
    // The length, found by seeking to the end; the position is kept.
    virtual int64_t Size();

    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);
    // Copies `count` bytes of `source` from its position (0: all of it from the start);
    // returns the number copied.
    int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string bytes) : data_(bytes.begin(), bytes.end()) {}

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;
    int64_t Size() override { return static_cast<int64_t>(data_.size()); }

    const std::vector<uint8_t>& Bytes() const { return data_; }
    std::string AsString() const { return std::string(data_.begin(), data_.end()); }
    void Clear() { data_.clear(); pos_ = 0; }

private:
    std::vector<uint8_t> data_;
    int64_t pos_ = 0;
};
