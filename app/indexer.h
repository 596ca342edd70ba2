// The index editor: which index files of the table's directory are open with the table, the
// tags of one of them and a tag's definition, new, rebuilt and deleted tags, and new index
// files. The order of the table follows the tag last chosen. A maximised child window of the
// main frame working on its ActiveTable, which it holds exclusive while it is open; when
// another program has the table open too, the table stays shared and the editor only shows
// tags and chooses orders.
//
// Nothing here knows an index format: the record set builds, lists and deletes tags, and
// says which files hold many named tags and which one tag named after the file.
#pragma once

#include <QMdiSubWindow>
#include <QStringList>
#include <vector>

#include "nv_dataset.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPushButton;
class TMainForm;

class TIndexerForm : public QMdiSubWindow {
    Q_OBJECT
public:
    explicit TIndexerForm(TMainForm& mainForm);

    QListWidget* SrcList() const { return srcList_; }
    QListWidget* DstList() const { return dstList_; }
    QListWidget* TagList() const { return tagList_; }
    // "Index File:", "Index Tag:", "Expression:" and "Filter:".
    QLineEdit* Edit1() const { return edit1_; }
    QLineEdit* Edit2() const { return edit2_; }
    QLineEdit* Edit3() const { return edit3_; }
    QLineEdit* Edit4() const { return edit4_; }
    QCheckBox* chkUnique() const { return chkUnique_; }
    QCheckBox* chkDescending() const { return chkDescending_; }
    QMenu* TagMenu() const { return pmTags_; }
    // The table could be had exclusive: tags may be made, changed and deleted.
    bool MayModify() const { return mayModify_; }

protected:
    // Closing by the person gives the table back to other programs at once and enables
    // "&Index" again.
    void closeEvent(QCloseEvent* event) override;

private:
    TNorvaneDataSet& Table();
    void BuildLayout();
    QPushButton* AddButton(const char* name, const QString& text, void (TIndexerForm::*command)());

    // Opening: the table exclusive if it can be, the lists filled, the same-named index
    // files included.
    void OpenTable();
    void FillLists();

    void IncludeOne();
    void IncludeAll();
    void ExcludeOne();
    void ExcludeAll();
    void IndexFileChosen();
    void TagChosen();
    void ModifyTag();
    void NewTag();
    void NewIndexFile();
    void SaveChanges();
    void CancelChanges();
    void DeleteTag();

    // Opens `item` of SrcList with the others and moves it to DstList; false (after the
    // message) when the file does not fit the table.
    bool Include(QListWidgetItem* item);
    // The index files of the table become `entries`; on failure the files of DstList are
    // opened again before the error travels on, so that none stops being maintained.
    void ApplyIndexFiles(const QStringList& entries);
    QStringList DstEntries() const;
    void NotValidMessage(const QString& entry);
    void UpdateArrows();
    void ClearTagPanel();
    // The edit fields, check boxes and change buttons on or off; "Index File:" only with
    // `fileToo`.
    void SetEditing(bool on, bool fileToo);
    // "Index Tag:" of a file whose one tag is named after it shows that name, read-only.
    void FollowIndexFile();
    void ShowOrder();
    void ShowError(const QString& message);

    TMainForm& main_;
    bool mayModify_ = false;
    // The tags of the index file highlighted in DstList, as TagList shows them.
    std::vector<TNorvaneDataSet::TagDefinition> tags_;

    QListWidget* srcList_ = nullptr;
    QListWidget* dstList_ = nullptr;
    QListWidget* tagList_ = nullptr;
    QLineEdit* edit1_ = nullptr;
    QLineEdit* edit2_ = nullptr;
    QLineEdit* edit3_ = nullptr;
    QLineEdit* edit4_ = nullptr;
    QCheckBox* chkUnique_ = nullptr;
    QCheckBox* chkDescending_ = nullptr;
    QPushButton* btnInclude_ = nullptr;
    QPushButton* btnIncludeAll_ = nullptr;
    QPushButton* btnExclude_ = nullptr;
    QPushButton* btnExcludeAll_ = nullptr;
    QPushButton* btnTagModify_ = nullptr;
    QPushButton* btnTagDelete_ = nullptr;
    QPushButton* btnTagNew_ = nullptr;
    QPushButton* btnFileNew_ = nullptr;
    QPushButton* btnSave_ = nullptr;
    QPushButton* btnCancel_ = nullptr;
    QMenu* pmTags_ = nullptr;
    QAction* pmTagModify_ = nullptr;
    QAction* pmTagDelete_ = nullptr;
};
