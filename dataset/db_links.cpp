#include "db_links.h"

#include <algorithm>

#include "db_consts.h"
#include "db_dataset.h"

// ----------------------------------------------------------------------- TDataSource

TDataSource::~TDataSource() {
    while (!links_.empty()) RemoveDataLink(links_.back());
    if (dataSet_) dataSet_->RemoveDataSource(this);
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
    if (dataSet == dataSet_) return;
    if (dataSet && IsLinkedTo(dataSet)) DatabaseError(dbmsg::SCircularDataLink);
    if (dataSet_) dataSet_->RemoveDataSource(this);
    if (dataSet) dataSet->AddDataSource(this);
    UpdateState();
}

void TDataSource::SetEnabled(bool value) {
    enabled_ = value;
    UpdateState();
}

void TDataSource::Edit() {
    if (autoEdit_ && state_ == dsBrowse && dataSet_) dataSet_->Edit();
}

bool TDataSource::IsLinkedTo(TDataSet* dataSet) const {
    // Bounded walk: a chain that is already circular must not hang the check.
    for (int guard = 0; dataSet && guard < 1000; ++guard) {
        TDataSource* source = dataSet->GetDataSource();
        if (!source) break;
        if (source == this) return true;
        dataSet = source->DataSet();
    }
    return false;
}

void TDataSource::DataEvent(TDataEvent event, intptr_t info) {
    if (event == deUpdateState) {
        UpdateState();
        return;
    }
    if (state_ == dsInactive) return;
    // A link may detach itself (or others) while notified: walk a copy.
    std::vector<TDataLink*> links = links_;
    for (TDataLink* link : links)
        if (std::find(links_.begin(), links_.end(), link) != links_.end()) link->DataEvent(event, info);
    switch (event) {
        case deFieldChange:
            if (OnDataChange) OnDataChange(*this, reinterpret_cast<TField*>(info));
            break;
        case deRecordChange:
        case deDataSetChange:
        case deDataSetScroll:
        case deLayoutChange:
            if (OnDataChange) OnDataChange(*this, nullptr);
            break;
        case deUpdateRecord:
            if (OnUpdateData) OnUpdateData(*this);
            break;
        default: break;
    }
}

void TDataSource::UpdateState() {
    SetState(enabled_ && dataSet_ ? dataSet_->State() : dsInactive);
}

void TDataSource::SetState(TDataSetState value) {
    if (state_ == value) return;
    TDataSetState prior = state_;
    state_ = value;
    std::vector<TDataLink*> links = links_;
    for (TDataLink* link : links)
        if (std::find(links_.begin(), links_.end(), link) != links_.end()) link->UpdateState();
    if (OnStateChange) OnStateChange(*this);
    if (prior == dsInactive && OnDataChange) OnDataChange(*this, nullptr);
}

void TDataSource::AddDataLink(TDataLink* link) {
    links_.push_back(link);
    link->dataSource_ = this;
    if (dataSet_) dataSet_->UpdateBufferCount();
    link->UpdateState();
}

void TDataSource::RemoveDataLink(TDataLink* link) {
    link->dataSource_ = nullptr;
    links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
    link->UpdateState();
    if (dataSet_) dataSet_->UpdateBufferCount();
}

// ------------------------------------------------------------------------- TDataLink

TDataLink::~TDataLink() {
    if (dataSource_) {
        // No virtual calls from here: the derived part is gone.
        TDataSource* source = dataSource_;
        dataSource_ = nullptr;
        source->links_.erase(std::remove(source->links_.begin(), source->links_.end(), this),
                             source->links_.end());
        if (source->dataSet_) source->dataSet_->UpdateBufferCount();
    }
}

void TDataLink::SetDataSource(TDataSource* source) {
    if (source == dataSource_) return;
    if (dataSource_) dataSource_->RemoveDataLink(this);
    if (source) source->AddDataLink(this);
}

TDataSet* TDataLink::DataSet() const { return dataSource_ ? dataSource_->DataSet() : nullptr; }

void TDataLink::SetReadOnly(bool value) {
    if (readOnly_ == value) return;
    readOnly_ = value;
    UpdateState();
}

void TDataLink::SetBufferCount(int value) {
    if (value < 1) value = 1;
    if (bufferCount_ == value) return;
    bufferCount_ = value;
    if (TDataSet* ds = DataSet()) ds->UpdateBufferCount();
    if (active_) UpdateRange();
}

int TDataLink::ActiveRecord() const {
    TDataSet* ds = DataSet();
    if (!active_ || !ds || dataSource_->State() == dsSetKey) return 0;
    return ds->activeRecord_ - firstRecord_;
}

void TDataLink::SetActiveRecord(int value) {
    TDataSet* ds = DataSet();
    if (!active_ || !ds || value < 0 || value >= RecordCount()) return;
    ds->activeRecord_ = firstRecord_ + value;
}

int TDataLink::RecordCount() const {
    TDataSet* ds = DataSet();
    if (!active_ || !ds) return 0;
    if (dataSource_->State() == dsSetKey) return 1;
    int n = ds->recordCount_ - firstRecord_;
    return std::max(0, std::min(n, bufferCount_));
}

bool TDataLink::Bof() const { return DataSet() && DataSet()->Bof(); }

bool TDataLink::Eof() const { return DataSet() && DataSet()->Eof(); }

bool TDataLink::Edit() {
    if (!readOnly_ && dataSource_) dataSource_->Edit();
    return editing_;
}

void TDataLink::UpdateRecord() {
    updating_ = true;
    try {
        UpdateData();
    } catch (...) {
        updating_ = false;
        throw;
    }
    updating_ = false;
}

void TDataLink::UpdateState() {
    bool active = dataSource_ && dataSource_->State() != dsInactive;
    SetActive(active);
    SetEditing(active && IsEditMode(dataSource_->State()) && !readOnly_);
}

void TDataLink::SetActive(bool value) {
    if (active_ == value) return;
    active_ = value;
    if (value)
        UpdateRange();
    else
        firstRecord_ = 0;
    ActiveChanged();
}

void TDataLink::SetEditing(bool value) {
    if (editing_ == value) return;
    editing_ = value;
    EditingChanged();
}

void TDataLink::UpdateRange() {
    TDataSet* ds = DataSet();
    if (!ds) return;
    int a = ds->activeRecord_;
    int lo = std::max(0, a - bufferCount_ + 1);
    int hi = std::min(a, std::max(0, ds->recordCount_ - bufferCount_));
    if (hi < lo) hi = lo;
    firstRecord_ = std::clamp(firstRecord_, lo, hi);
}

void TDataLink::DataEvent(TDataEvent event, intptr_t info) {
    if (event == deUpdateState) {
        UpdateState();
        return;
    }
    if (!active_) return;
    switch (event) {
        case deFieldChange:
        case deRecordChange:
            if (!updating_) RecordChanged(reinterpret_cast<TField*>(info));
            break;
        case deDataSetChange:
        case deDataSetScroll:
        case deLayoutChange: {
            int distance = 0;
            if (dataSource_->State() != dsSetKey) {
                // `info` of a scroll: how far the ring's contents moved (negative: towards
                // buffer 0). The window follows its records, then is pulled back to show
                // the active one; what is left is how far it scrolled.
                int shifted = firstRecord_ + (event == deDataSetScroll ? static_cast<int>(info) : 0);
                firstRecord_ = shifted;
                UpdateRange();
                distance = firstRecord_ - shifted;
            }
            if (event == deDataSetChange)
                DataSetChanged();
            else if (event == deDataSetScroll)
                DataSetScrolled(distance);
            else
                LayoutChanged();
            break;
        }
        case deUpdateRecord: UpdateRecord(); break;
        case deCheckBrowseMode: CheckBrowseMode(); break;
        case deFocusControl: FocusControl(reinterpret_cast<TField**>(info)); break;
        default: break;
    }
}

// ------------------------------------------------------------------- TMasterDataLink

void TMasterDataLink::SetFieldNames(const std::string& names) {
    if (names == fieldNames_) return;
    fieldNames_ = names;
    ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
    fields_.clear();
    if (Active()) {
        try {
            DataSet()->GetFieldList(fields_, fieldNames_);
        } catch (...) {
            fields_.clear();
            throw;
        }
    }
    if (detail_ && detail_->Active() && !detail_->ComponentState().Contains(csDestroying)) {
        if (Active() && !fields_.empty()) {
            if (OnMasterChange) OnMasterChange();
        } else {
            if (OnMasterDisable) OnMasterDisable();
        }
    }
}

void TMasterDataLink::CheckBrowseMode() {
    if (detail_ && detail_->Active()) detail_->CheckBrowseMode();
}

void TMasterDataLink::RecordChanged(TField* field) {
    if (DataSource()->State() == dsSetKey || !detail_ || !detail_->Active() || fields_.empty())
        return;
    if (field && std::find(fields_.begin(), fields_.end(), field) == fields_.end()) return;
    if (OnMasterChange) OnMasterChange();
}
