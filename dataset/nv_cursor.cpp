#include "nv_cursor.h"

#include "nv_dataset.h"

DBFObject::DBFObject(const std::string& fileName, bool shared, bool readWrite,
                     const std::string& password, TNorvaneDataSet* owner)
    : NVO_dBHandler(fileName, shared, readWrite, password), owner_(owner) {}

bool DBFObject::RecordAccepted() {
    if (owner_ && !owner_->FilterRecordAccepts()) return false;
    return NVO_dBHandler::RecordAccepted();
}

void DBFObject::StatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) {
    if (!owner_) {
        NVO_dBHandler::StatusUpdate(stat1, stat2, stat3);
        return;
    }
    owner_->ReportStatus(stat1, stat2, stat3);
}
