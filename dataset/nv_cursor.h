// DBFObject: the engine cursor a TNorvaneDataSet opens on its table. It is the table cursor
// with the record set's two hooks: every record the cursor visits goes through the record
// set's OnFilterRecord before the cursor's own filter set, and the progress of long engine
// operations goes to the record set's OnStatus.
//
// The record set owns its DBFObject; the cursor only points back at it. A cursor without an
// owner behaves as a plain NVO_dBHandler.
#pragma once

#include <cstdint>
#include <string>

#include "nv6_dbsy.h"

class TNorvaneDataSet;

class DBFObject : public NVO_dBHandler {
public:
    DBFObject(const std::string& fileName, bool shared, bool readWrite, const std::string& password,
              TNorvaneDataSet* owner);

    TNorvaneDataSet* Owner() const { return owner_; }

    // The owner's OnFilterRecord (while it is open, filtered and has a handler) decides
    // first; an accepted record then faces the cursor's own filter set.
    bool RecordAccepted() override;
    // To the owner's OnStatus when it has one; dropped when it has none; the default report
    // only for a cursor without owner.
    void StatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) override;

    // Sets the end-of-file flag again after the record set stepped back from the end.
    void MarkEof() { SetEof(true); }
    // Beginning and end flags of a freshly inserted record, which counts as past the last.
    void MarkAfterLast() {
        SetBof(false);
        SetEof(true);
    }

private:
    TNorvaneDataSet* owner_;
};
