// Data sources and data links: how controls (a grid, an edit box) and detail datasets follow
// a dataset.
//
// A TDataSource points at one dataset (or none); any number of TDataLink objects point at a
// source. Neither owns the other: a source detaches itself from its dataset and its links
// when it is destroyed, a link from its source, and a dataset from its sources. The dataset
// sends its notifications (TDataEvent) to every source, which passes them on to its links as
// the virtual calls below. A link asks the dataset for BufferCount() record buffers; its
// window on the dataset's ring starts at its first record and always contains the active one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db_types.h"

class TDataSet;
class TDataLink;
class TField;

class TDataSource {
public:
    TDataSource() = default;
    TDataSource(const TDataSource&) = delete;
    TDataSource& operator=(const TDataSource&) = delete;
    ~TDataSource();

    TDataSet* DataSet() const { return dataSet_; }
    // Raises "Circular datalinks are not allowed" when `dataSet` (or a master in its chain)
    // already takes this source as its master.
    void SetDataSet(TDataSet* dataSet);
    bool Enabled() const { return enabled_; }
    // A disabled source reports dsInactive to its links.
    void SetEnabled(bool value);
    bool AutoEdit() const { return autoEdit_; }
    void SetAutoEdit(bool value) { autoEdit_ = value; }
    // The dataset's state as the links see it.
    TDataSetState State() const { return state_; }
    // Puts the dataset into dsEdit when AutoEdit is on and it is browsing.
    void Edit();
    bool IsLinkedTo(TDataSet* dataSet) const;
    int DataLinkCount() const { return static_cast<int>(links_.size()); }
    TDataLink* DataLink(int i) const { return links_[static_cast<size_t>(i)]; }

    // A field (or, with null, the record or the whole dataset) changed.
    std::function<void(TDataSource&, TField*)> OnDataChange;
    std::function<void(TDataSource&)> OnStateChange;
    // The dataset asks the controls for their pending values.
    std::function<void(TDataSource&)> OnUpdateData;

private:
    friend class TDataSet;
    friend class TDataLink;
    void DataEvent(TDataEvent event, intptr_t info);
    void UpdateState();
    void SetState(TDataSetState value);
    void AddDataLink(TDataLink* link);
    void RemoveDataLink(TDataLink* link);

    TDataSet* dataSet_ = nullptr;
    bool enabled_ = true;
    bool autoEdit_ = true;
    TDataSetState state_ = dsInactive;
    std::vector<TDataLink*> links_;
};

class TDataLink {
public:
    TDataLink() = default;
    TDataLink(const TDataLink&) = delete;
    TDataLink& operator=(const TDataLink&) = delete;
    virtual ~TDataLink();

    TDataSource* DataSource() const { return dataSource_; }
    void SetDataSource(TDataSource* source);
    TDataSet* DataSet() const;
    // The source has an open dataset.
    bool Active() const { return active_; }
    // The dataset is in dsEdit, dsInsert or dsSetKey and the link is not read-only.
    bool Editing() const { return editing_; }
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool value);
    // Records the link asks the dataset to buffer (1 for an edit box, the rows of a grid).
    int BufferCount() const { return bufferCount_; }
    void SetBufferCount(int value);
    // The active record's row in the link's window (0..RecordCount()-1).
    int ActiveRecord() const;
    // Makes row `value` of the window the dataset's active record without any event, so a
    // grid can read the fields of each row it draws. REQUIRES: 0 <= value < RecordCount();
    // the caller puts the old row back.
    void SetActiveRecord(int value);
    // Records in the link's window.
    int RecordCount() const;
    bool Bof() const;
    bool Eof() const;
    // Asks the source to edit; true when the link is then editing.
    bool Edit();
    // Runs UpdateData, without RecordChanged feedback while it runs.
    void UpdateRecord();
    // The buffer index of the window's first row.
    int FirstRecord() const { return firstRecord_; }

protected:
    virtual void ActiveChanged() {}
    virtual void CheckBrowseMode() {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    // The window scrolled by `distance` rows (positive: towards the end).
    virtual void DataSetScrolled(int) { DataSetChanged(); }
    virtual void EditingChanged() {}
    virtual void FocusControl(TField**) {}
    virtual void LayoutChanged() { DataSetChanged(); }
    virtual void RecordChanged(TField*) {}
    virtual void UpdateData() {}

private:
    friend class TDataSource;
    friend class TDataSet;
    void DataEvent(TDataEvent event, intptr_t info);
    void UpdateState();
    void SetActive(bool value);
    void SetEditing(bool value);
    void UpdateRange();

    TDataSource* dataSource_ = nullptr;
    int firstRecord_ = 0;
    int bufferCount_ = 1;
    bool active_ = false;
    bool editing_ = false;
    bool readOnly_ = false;
    bool updating_ = false;
};

// A link that drives another dataset (a detail).
class TDetailDataLink : public TDataLink {
public:
    virtual TDataSet* DetailDataSet() const { return nullptr; }
};

// The link a detail dataset keeps to its master source: it collects the master's fields
// named in FieldNames and reports when they change (OnMasterChange) or the master goes away
// (OnMasterDisable). The detail owns it.
class TMasterDataLink : public TDetailDataLink {
public:
    explicit TMasterDataLink(TDataSet* detail) : detail_(detail) {}
    TDataSet* DetailDataSet() const override { return detail_; }
    const std::string& FieldNames() const { return fieldNames_; }
    // Collects the fields again (raising "Field '%s' not found" for a missing one).
    void SetFieldNames(const std::string& names);
    // The master's fields of FieldNames, in order (empty while inactive).
    const std::vector<TField*>& Fields() const { return fields_; }

    std::function<void()> OnMasterChange;
    std::function<void()> OnMasterDisable;

protected:
    void ActiveChanged() override;
    void CheckBrowseMode() override;
    void LayoutChanged() override { ActiveChanged(); }
    void RecordChanged(TField* field) override;

private:
    TDataSet* detail_;
    std::string fieldNames_;
    std::vector<TField*> fields_;
};
