#include "nv_blob.h"

#include <algorithm>
#include <cstring>

#include "db_consts.h"
#include "db_fields.h"
#include "nv_dataset.h"

TNRBlobStream::TNRBlobStream(TField* field, TBlobStreamMode mode)
    : field_(field), dataSet_(dynamic_cast<TNorvaneDataSet*>(field->DataSet())),
      buffer_(nullptr), fieldNo_(field->FieldNo()) {
    if (!dataSet_) DatabaseErrorFmt(dbmsg::SDataSetMissing, {field->DisplayName()});
    buffer_ = dataSet_->ServingBuffer();
    if (!buffer_) return;
    TDataSetState state = dataSet_->State();
    if (mode != bmRead) {
        if (field_->ReadOnly()) DatabaseErrorFmt(dbmsg::SFieldReadOnly, {field_->DisplayName()});
        if (state != dsEdit && state != dsInsert) DatabaseError(dbmsg::SNotEditing);
    }
    if (mode == bmWrite) {
        Truncate();
        return;
    }
    auto* blob = dynamic_cast<TBlobField*>(field_);
    bool transliterate = blob && blob->Transliterate();
    const std::string* pending = nullptr;
    if ((state == dsEdit || state == dsInsert) && buffer_ == dataSet_->ActiveBuffer())
        pending = dataSet_->PendingMemo(fieldNo_);
    if (pending) {
        size_ = static_cast<int64_t>(pending->size());
        if (size_ > 0) {
            text_.assign(pending->begin(), pending->end());
            text_.push_back(0);
        }
    } else {
        DBFObject* cursor = dataSet_->Cursor();
        if (!cursor) return;
        TNorvaneDataSet::PointerGuard guard(*dataSet_, buffer_);
        int32_t length = cursor->MemoSize(fieldNo_);
        if (length > 0) {
            text_.assign(static_cast<size_t>(length) + 1, 0);
            int32_t got = cursor->ReadMemo(fieldNo_, text_.data(), length + 1);
            got = std::clamp(got, 0, length);
            text_.resize(static_cast<size_t>(got) + 1);
            text_[static_cast<size_t>(got)] = 0;
            size_ = got;
            if (size_ == 0) text_.clear();
        }
    }
    position_ = 0;
    if (transliterate && size_ > 0) dataSet_->TranslateBytes(text_.data(), static_cast<size_t>(size_), false);
}

TNRBlobStream::~TNRBlobStream() {
    try {
        HandBack();
    } catch (...) {
        // A destructor cannot report; the text is with the record set before anything that
        // can fail (change notifications) runs.
    }
}

void TNRBlobStream::HandBack() {
    if (!modified_ || !dataSet_) return;
    TDataSetState state = dataSet_->State();
    if (state != dsEdit && state != dsInsert) return;
    std::string text;
    if (size_ > 0) text.assign(reinterpret_cast<const char*>(text_.data()), static_cast<size_t>(size_));
    auto* blob = dynamic_cast<TBlobField*>(field_);
    if (blob && blob->Transliterate() && !text.empty())
        dataSet_->TranslateBytes(reinterpret_cast<uint8_t*>(text.data()), text.size(), true);
    dataSet_->SetPendingMemo(fieldNo_, std::move(text));
    if (blob) blob->SetModified(true);
    dataSet_->DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field_));
}

void TNRBlobStream::Truncate() {
    text_.clear();
    size_ = 0;
    position_ = 0;
    modified_ = true;
}

int64_t TNRBlobStream::Read(void* buffer, int64_t count) {
    if (text_.empty() || count <= 0 || position_ < 0 || position_ > size_) return 0;
    // The final read also delivers the terminating zero byte.
    if (position_ + count > size_) count = size_ - position_ + 1;
    std::memcpy(buffer, text_.data() + position_, static_cast<size_t>(count));
    position_ += count;
    return count;
}

int64_t TNRBlobStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    int64_t pos = std::max<int64_t>(position_, 0);
    std::vector<uint8_t> next(static_cast<size_t>(pos + count + 1), 0);
    // What lies before the position stays, a gap after a seek beyond the end is zeros, and
    // whatever followed the written bytes is dropped.
    size_t keep = static_cast<size_t>(std::min(pos, size_));
    if (keep > 0) std::memcpy(next.data(), text_.data(), keep);
    std::memcpy(next.data() + pos, buffer, static_cast<size_t>(count));
    text_ = std::move(next);
    size_ = pos + count;
    position_ = pos + count;
    modified_ = true;
    return count;
}

int64_t TNRBlobStream::Seek(int64_t offset, TSeekOrigin origin) {
    switch (origin) {
        case soFromBeginning: position_ = offset; break;
        case soFromCurrent: position_ += offset; break;
        case soFromEnd: position_ = size_ + offset; break;
    }
    if (position_ < 0) position_ = 0;
    return position_;
}

void TNRBlobStream::SetSize(int64_t size) {
    if (size < 0) size = 0;
    if (size == size_) return;
    if (size == 0) {
        Truncate();
        return;
    }
    text_.resize(static_cast<size_t>(size) + 1, 0);
    text_[static_cast<size_t>(size)] = 0;
    size_ = size;
    if (position_ > size_) position_ = size_;
    modified_ = true;
}
