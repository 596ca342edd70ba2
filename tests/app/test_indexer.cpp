// The index editor driven as a person drives it: the table's own index file in use at once,
// including and excluding files, tags chosen to order the table, tags made in new files of
// every format, changed and deleted, a file of another table refused, a failed build, and a
// table another program holds open.
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QPushButton>
#include <filesystem>

#include "app_support.h"
#include "indexer.h"

namespace {

using apptest::Choose;
using apptest::Eventually;

QStringList Items(const QListWidget* list) {
    QStringList items;
    for (int row = 0; row < list->count(); ++row) items << list->item(row)->text();
    return items;
}

struct IndexerFixture : apptest::MainFixture {
    TIndexerForm* editor = nullptr;

    void SetUp() override {
        MainFixture::SetUp();
        OpenPeople();
    }
    // A tag built before the editor opens (the table is then shared).
    void Build(const char* file, const char* tag, const char* key) {
        Table().IndexOn(dir.File(file), tag, key, "", true, false);
    }
    void OpenEditor() {
        ASSERT_TRUE(Choose(*form, "muIndex"));
        editor = form->findChild<TIndexerForm*>();
        ASSERT_NE(editor, nullptr);
    }
    QPushButton* Button(const char* name) {
        auto* button = editor->findChild<QPushButton*>(name);
        EXPECT_NE(button, nullptr) << name;
        return button;
    }
    // Presses a button as a person would; false when it is disabled.
    bool Press(const char* name) {
        QPushButton* button = Button(name);
        if (!button || !button->isEnabled()) return false;
        button->click();
        return true;
    }
    void ChooseFile(const QString& name) {
        const QList<QListWidgetItem*> found = editor->DstList()->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << name.toStdString();
        editor->DstList()->setCurrentItem(found.front());
    }
    void ChooseTag(const QString& name) {
        const QList<QListWidgetItem*> found = editor->TagList()->findItems(name, Qt::MatchFixedString);
        ASSERT_EQ(found.size(), 1) << name.toStdString();
        editor->TagList()->setCurrentItem(found.front());
    }
    void SelectSource(const QString& name) {
        const QList<QListWidgetItem*> found = editor->SrcList()->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << name.toStdString();
        editor->SrcList()->setCurrentItem(found.front());
    }
    // Modify, Delete and the tag New, as enabled flags.
    std::string TagButtons() {
        std::string out;
        for (const char* n : {"btnTagModify", "btnTagDelete", "btnTagNew"}) out += Button(n)->isEnabled() ? '1' : '0';
        return out;
    }
    // The names in the table's current order.
    QStringList Names() {
        QStringList names;
        for (Table().First(); !Table().Eof(); Table().Next())
            names << QString::fromStdString(Table().FieldByName("NAME").AsString()).trimmed();
        return names;
    }
    QString First() { return Names().value(0); }
    QStringList UsedFiles() {
        QStringList files;
        for (const std::string& f : Table().IndexFiles().Items()) files << QString::fromStdString(f);
        return files;
    }
    // A table of orders with a CDX index over a field the people table does not have.
    void MakeOrdersIndex() {
        const std::string orders = dir.File("orders.dbf");
        {
            NVO_DBFoxBuild build(orders);
            build.AddField("AMOUNT", "N", 8, 2);
            build.Build();
        }
        NVO_dBHandler table(orders, false, true, "");
        table.BlankRecord();
        table.SetNumberByName("AMOUNT", 12.5);
        table.Append();
        ASSERT_EQ(table.IndexOn("orders.cdx", "AMOUNT", 0, true, "", "AMOUNT"), 0);
    }
};

TEST_F(IndexerFixture, TheTablesOwnIndexIsInUseAndAChosenTagOrdersTheTable) {
    Build("people.cdx", "NAME", "NAME");
    Build("people.cdx", "AGEDOWN", "STR(100 - AGE, 3)");
    Build("other.ndx", "", "AGE");
    nvtest::WriteFile(dir.File("notes.txt"), "not an index");
    OpenEditor();

    EXPECT_EQ(editor->windowTitle(), "Index people.dbf");
    EXPECT_TRUE(Eventually([&] { return editor->isMaximized(); }));
    EXPECT_TRUE(editor->MayModify());
    EXPECT_TRUE(Table().Exclusive());
    EXPECT_EQ(Items(editor->SrcList()), QStringList{"other.ndx"});
    EXPECT_EQ(Items(editor->DstList()), QStringList{"people.cdx"});
    EXPECT_EQ(UsedFiles(), QStringList{"people.cdx"});
    for (const char* arrow : {"btnInclude", "btnIncludeAll", "btnExclude", "btnExcludeAll"})
        EXPECT_TRUE(Button(arrow)->isEnabled()) << arrow;
    EXPECT_EQ(TagButtons(), "000");
    EXPECT_FALSE(Button("btnSave")->isEnabled());

    ChooseFile("people.cdx");
    EXPECT_EQ(editor->Edit1()->text(), "people.cdx");
    // A compound file keeps its tags in name order.
    EXPECT_EQ(Items(editor->TagList()), (QStringList{"AGEDOWN", "NAME"}));
    EXPECT_EQ(TagButtons(), "001");
    EXPECT_EQ(form->pnlIndex()->text(), "Natural Order");
    EXPECT_EQ(First(), "Person 01");

    ChooseTag("AGEDOWN");
    EXPECT_EQ(editor->Edit2()->text(), "AGEDOWN");
    EXPECT_EQ(editor->Edit3()->text(), "STR(100 - AGE, 3)");
    EXPECT_EQ(editor->Edit4()->text(), "");
    EXPECT_FALSE(editor->chkUnique()->isChecked());
    EXPECT_FALSE(editor->chkDescending()->isChecked());
    EXPECT_FALSE(editor->Edit1()->isEnabled());
    EXPECT_FALSE(editor->Edit3()->isEnabled());
    EXPECT_EQ(TagButtons(), "111");
    EXPECT_TRUE(editor->TagMenu()->actions().at(0)->isEnabled());
    EXPECT_EQ(form->pnlIndex()->text(), "Index is AGEDOWN");
    EXPECT_EQ(First(), "Person 10");

    // Modify opens the definition, not the file name; Cancel Changes shows it as stored.
    ASSERT_TRUE(Press("btnTagModify"));
    EXPECT_FALSE(editor->Edit1()->isEnabled());
    EXPECT_TRUE(editor->Edit2()->isEnabled());
    EXPECT_TRUE(editor->Edit3()->isEnabled());
    EXPECT_TRUE(Button("btnCancel")->isEnabled());
    editor->Edit3()->setText("NAME");
    ASSERT_TRUE(Press("btnCancel"));
    EXPECT_EQ(editor->Edit3()->text(), "STR(100 - AGE, 3)");
    EXPECT_FALSE(editor->Edit3()->isEnabled());
    EXPECT_FALSE(Button("btnSave")->isEnabled());

    // The browse window opened next keeps the order; the table is shared again.
    ASSERT_TRUE(Choose(*form, "muBrowse"));
    EXPECT_EQ(form->findChild<TIndexerForm*>(), nullptr);
    EXPECT_FALSE(Table().Exclusive());
    EXPECT_EQ(Table().IndexName(), "AGEDOWN");
    EXPECT_EQ(First(), "Person 10");
    EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
}

TEST_F(IndexerFixture, FilesComeAndGoAndAFileOfAnotherTableIsRefused) {
    Build("people.cdx", "NAME", "NAME");
    Build("byage.ndx", "", "AGE");
    nvtest::WriteFile(dir.File("junk.ntx"), std::string(1024, '\xff'));
    MakeOrdersIndex();
    OpenEditor();
    EXPECT_EQ(Items(editor->SrcList()), (QStringList{"byage.ndx", "junk.ntx", "orders.cdx"}));

    SelectSource("orders.cdx");
    asker.AnswerButton(QMessageBox::Ok);
    ASSERT_TRUE(Press("btnInclude"));
    EXPECT_EQ(asker.asked, QStringList{"message: Index file orders.cdx is not valid for this DBF."});
    EXPECT_EQ(Items(editor->SrcList()), (QStringList{"byage.ndx", "junk.ntx", "orders.cdx"}));
    // The files in use before stay open and maintained.
    EXPECT_EQ(UsedFiles(), QStringList{"people.cdx"});
    EXPECT_EQ(Table().TagCount(), 1);

    // A double click includes as ">" does.
    SelectSource("byage.ndx");
    emit editor->SrcList()->itemDoubleClicked(editor->SrcList()->currentItem());
    EXPECT_EQ(Items(editor->DstList()), (QStringList{"people.cdx", "byage.ndx"}));
    EXPECT_EQ(Table().TagCount(), 2);

    // ">>" takes whatever fits and reports the rest, one message each.
    asker.asked.clear();
    asker.AnswerButton(QMessageBox::Ok);
    asker.AnswerButton(QMessageBox::Ok);
    ASSERT_TRUE(Press("btnIncludeAll"));
    EXPECT_EQ(asker.asked, (QStringList{"message: Index file orders.cdx is not valid for this DBF.",
                                        "message: Index file junk.ntx is not valid for this DBF."}));
    EXPECT_EQ(Items(editor->SrcList()), (QStringList{"junk.ntx", "orders.cdx"}));

    // "<" gives the order back to the record numbers and the file back to the left.
    ChooseFile("byage.ndx");
    ChooseTag("byage");
    EXPECT_EQ(Table().IndexName(), "byage");
    ASSERT_TRUE(Press("btnExclude"));
    EXPECT_EQ(Items(editor->DstList()), QStringList{"people.cdx"});
    EXPECT_EQ(Items(editor->SrcList()), (QStringList{"byage.ndx", "junk.ntx", "orders.cdx"}));
    EXPECT_EQ(UsedFiles(), QStringList{"people.cdx"});
    EXPECT_EQ(Table().IndexName(), "");
    EXPECT_EQ(Items(editor->TagList()), QStringList{});

    // Taking out the last file closes it: it is no longer maintained.
    ChooseFile("people.cdx");
    ASSERT_TRUE(Press("btnExclude"));
    EXPECT_EQ(Items(editor->DstList()), QStringList{});
    EXPECT_EQ(Table().TagCount(), 0);

    // "<<" closes every file, so none is maintained any more.
    SelectSource("people.cdx");
    ASSERT_TRUE(Press("btnInclude"));
    SelectSource("byage.ndx");
    ASSERT_TRUE(Press("btnInclude"));
    EXPECT_EQ(Table().TagCount(), 2);
    ASSERT_TRUE(Press("btnExcludeAll"));
    EXPECT_EQ(Items(editor->DstList()), QStringList{});
    EXPECT_EQ(Table().TagCount(), 0);
    EXPECT_EQ(form->pnlIndex()->text(), "No Index");
    EXPECT_FALSE(Button("btnExclude")->isEnabled());
    EXPECT_FALSE(Button("btnExcludeAll")->isEnabled());
    EXPECT_TRUE(asker.AllAnswered());
}

// One index format as a person makes it: the filter chosen in the dialog, and whether its
// tags honour a descending build.
struct NewFileCase {
    int filterIndex;
    const char* ext;
    bool namedTags;
    bool descending;
};

struct NewIndexFile : IndexerFixture, ::testing::WithParamInterface<NewFileCase> {
    QString FileName() const { return QString("club") + GetParam().ext; }
    std::string Path() const { return dir.File(FileName().toStdString()); }
    void StartNewFile() {
        // Typed without an extension: the filter in force gives it.
        asker.AnswerFile(QString::fromStdString(dir.File("club")), GetParam().filterIndex);
        ASSERT_TRUE(Press("btnFileNew"));
    }
    void Define(const char* key, bool unique, bool descending) {
        if (GetParam().namedTags) editor->Edit2()->setText("MEMBERS");
        editor->Edit3()->setText(key);
        editor->chkUnique()->setChecked(unique);
        editor->chkDescending()->setChecked(descending);
        ASSERT_TRUE(Press("btnSave"));
        EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
    }
};

TEST_P(NewIndexFile, MakesChangesAndDeletesATag) {
    OpenEditor();
    StartNewFile();
    EXPECT_EQ(asker.lastFileQuestion.title, "Open");
    EXPECT_EQ(asker.lastFileQuestion.filter.split(";;").size(), 4);
    EXPECT_TRUE(asker.lastFileQuestion.filter.startsWith("FoxPro 2.x Index (*.cdx"));
    EXPECT_EQ(editor->Edit1()->text(), FileName());
    EXPECT_TRUE(editor->Edit1()->isEnabled());
    EXPECT_TRUE(Button("btnSave")->isEnabled());
    // A single-tag file names its tag after itself.
    EXPECT_EQ(editor->Edit2()->isReadOnly(), !GetParam().namedTags);
    EXPECT_EQ(editor->Edit2()->text(), GetParam().namedTags ? "" : "club");

    // Cancelled before its first tag, the new file is used nowhere and made nowhere.
    ASSERT_TRUE(Press("btnCancel"));
    EXPECT_EQ(Items(editor->DstList()), QStringList{});
    EXPECT_FALSE(std::filesystem::exists(Path()));

    // An empty "Index Tag:" saves nothing.
    StartNewFile();
    editor->Edit2()->setReadOnly(false);
    editor->Edit2()->clear();
    editor->Edit3()->setText("NAME");
    ASSERT_TRUE(Press("btnSave"));
    EXPECT_FALSE(std::filesystem::exists(Path()));
    EXPECT_EQ(Items(editor->DstList()), QStringList{});

    StartNewFile();
    Define("NAME", false, false);
    ASSERT_TRUE(std::filesystem::exists(Path()));
    EXPECT_EQ(Items(editor->DstList()), QStringList{FileName()});
    EXPECT_EQ(UsedFiles(), QStringList{FileName()});
    const QString tag = GetParam().namedTags ? "MEMBERS" : editor->Edit2()->text();
    ASSERT_EQ(editor->TagList()->count(), 1);
    EXPECT_EQ(editor->TagList()->currentRow(), 0);
    EXPECT_EQ(editor->TagList()->item(0)->text().toUpper(), GetParam().namedTags ? "MEMBERS" : "CLUB");
    EXPECT_EQ(form->pnlIndex()->text(), "Index is " + QString::fromStdString(Table().IndexName()));
    EXPECT_EQ(First(), "Person 01");
    const qsizetype everyone = Names().size();
    EXPECT_GE(everyone, 9);
    EXPECT_FALSE(Button("btnSave")->isEnabled());

    // A changed expression changes the order.
    ASSERT_TRUE(Press("btnTagModify"));
    EXPECT_EQ(editor->Edit2()->isReadOnly(), !GetParam().namedTags);
    Define("STR(100-AGE,3)", false, false);
    EXPECT_EQ(First(), "Person 10");
    EXPECT_EQ(editor->Edit3()->text(), "STR(100-AGE,3)");

    // Unique keeps one record per key.
    ASSERT_TRUE(Press("btnTagModify"));
    Define("LEFT(NAME, 7)", true, false);
    EXPECT_TRUE(editor->chkUnique()->isChecked());
    EXPECT_EQ(Names(), QStringList{"Person 01"});

    ASSERT_TRUE(Press("btnTagModify"));
    Define("NAME", false, true);
    EXPECT_FALSE(editor->chkUnique()->isChecked());
    EXPECT_EQ(editor->chkDescending()->isChecked(), GetParam().descending);
    EXPECT_EQ(First(), GetParam().descending ? "Person 10" : "Person 01");
    EXPECT_EQ(Names().size(), everyone);

    // The file's last tag takes the file with it, after asking.
    asker.AnswerButton(QMessageBox::No);
    ASSERT_TRUE(Press("btnTagDelete"));
    EXPECT_TRUE(std::filesystem::exists(Path()));
    asker.AnswerButton(QMessageBox::Yes);
    ASSERT_TRUE(Press("btnTagDelete"));
    EXPECT_FALSE(std::filesystem::exists(Path()));
    EXPECT_EQ(Items(editor->DstList()), QStringList{});
    EXPECT_EQ(Items(editor->SrcList()), QStringList{});
    EXPECT_EQ(UsedFiles(), QStringList{});
    EXPECT_EQ(Table().IndexName(), "");
    EXPECT_EQ(form->pnlIndex()->text(), "No Index");
    EXPECT_EQ(First(), "Person 01");
    EXPECT_TRUE(asker.AllAnswered());
    EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(Formats, NewIndexFile,
                         ::testing::Values(NewFileCase{1, ".cdx", true, true}, NewFileCase{2, ".mdx", true, true},
                                           NewFileCase{3, ".ndx", false, false}, NewFileCase{4, ".ntx", false, true}),
                         [](const auto& info) { return std::string(info.param.ext + 1); });

TEST_F(IndexerFixture, ATagIsDeletedInTheFileNamedAndTheProductionMarkGoesWithItsFile) {
    Build("people.cdx", "NAME", "NAME");
    Build("other.cdx", "NAME", "NAME");
    Build("other.cdx", "AGE", "AGE");
    OpenEditor();
    SelectSource("other.cdx");
    ASSERT_TRUE(Press("btnInclude"));

    // Both files have a tag NAME: the one in the file chosen goes.
    ChooseFile("other.cdx");
    ChooseTag("NAME");
    ASSERT_TRUE(Press("btnTagDelete"));
    EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
    EXPECT_EQ(Items(editor->TagList()), QStringList{"AGE"});
    ChooseFile("people.cdx");
    EXPECT_EQ(Items(editor->TagList()), QStringList{"NAME"});

    // The context menu's Delete is the button's; the production index's last tag takes the
    // file and the table header's mark of it.
    ChooseTag("NAME");
    ASSERT_EQ(static_cast<uint8_t>(nvtest::ReadFile(path).at(28)) & 1, 1);
    asker.AnswerButton(QMessageBox::Yes);
    editor->findChild<QAction*>("pmTagDelete")->trigger();
    ASSERT_EQ(asker.asked.size(), 1);
    EXPECT_EQ(asker.asked.front(), "message: NAME is the only tag of index file people.cdx.  Delete the file?");
    EXPECT_FALSE(std::filesystem::exists(dir.File("people.cdx")));
    EXPECT_EQ(Items(editor->DstList()), QStringList{"other.cdx"});
    EXPECT_EQ(UsedFiles(), QStringList{"other.cdx"});
    EXPECT_EQ(static_cast<uint8_t>(nvtest::ReadFile(path).at(28)) & 1, 0);
    EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
}

TEST_F(IndexerFixture, AFailedBuildNamesTheExpressionAndKeepsTheFilesMaintained) {
    Build("people.cdx", "NAME", "NAME");
    OpenEditor();
    ChooseFile("people.cdx");
    ASSERT_TRUE(Press("btnTagNew"));
    EXPECT_TRUE(editor->Edit1()->isEnabled());
    editor->Edit2()->setText("BAD");
    editor->Edit3()->setText("UPPER(NAME");
    ASSERT_TRUE(Press("btnSave"));
    ASSERT_EQ(asker.errors.size(), 1);
    EXPECT_EQ(asker.errors.front(),
              "Index tag BAD could not be built from the expression \"UPPER(NAME\": Missing closing parentheses");
    EXPECT_EQ(UsedFiles(), QStringList{"people.cdx"});
    EXPECT_EQ(Table().TagCount(), 1);
    // Still editing: the person can mend the expression.
    EXPECT_TRUE(Button("btnSave")->isEnabled());
    editor->Edit3()->setText("UPPER(NAME)");
    ASSERT_TRUE(Press("btnSave"));
    EXPECT_EQ(Items(editor->TagList()), (QStringList{"BAD", "NAME"}));
    EXPECT_EQ(Table().IndexName(), "BAD");
}

TEST_F(IndexerFixture, ATableAnotherProgramHoldsOpenOnlyShowsAndOrders) {
    Build("people.cdx", "AGEDOWN", "STR(100-AGE,3)");
    {
        NVO_dBHandler other(path, true, true, "");
        OpenEditor();
        EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("; ").toStdString();
        EXPECT_FALSE(editor->MayModify());
        EXPECT_TRUE(Table().Active());
        EXPECT_FALSE(Table().Exclusive());
        EXPECT_FALSE(Button("btnFileNew")->isEnabled());
        ChooseFile("people.cdx");
        EXPECT_EQ(TagButtons(), "000");
        ChooseTag("AGEDOWN");
        EXPECT_EQ(TagButtons(), "000");
        EXPECT_FALSE(editor->TagMenu()->actions().at(1)->isEnabled());
        EXPECT_EQ(First(), "Person 10");
    }
    // Closing the editor enables "&Index" and leaves the table shared with the order kept.
    editor->close();
    EXPECT_TRUE(Eventually([&] { return form->findChild<TIndexerForm*>() == nullptr; }));
    EXPECT_TRUE(form->findChild<QAction*>("muIndex")->isEnabled());
    EXPECT_EQ(Table().IndexName(), "AGEDOWN");
}

TEST_F(IndexerFixture, ClosingGivesTheTableBackToOtherPrograms) {
    OpenEditor();
    EXPECT_TRUE(Table().Exclusive());
    EXPECT_FALSE(form->findChild<QAction*>("muIndex")->isEnabled());
    editor->close();
    EXPECT_FALSE(Table().Exclusive());
    EXPECT_TRUE(Table().Active());
    EXPECT_TRUE(form->findChild<QAction*>("muIndex")->isEnabled());
    NVO_dBHandler other(path, true, true, "");
    EXPECT_EQ(other.RecordCount(), 10);
}

TEST_F(IndexerFixture, Screenshot) {
    Build("people.cdx", "NAME", "NAME");
    Build("people.cdx", "AGEDOWN", "STR(100-AGE,3)");
    Build("other.ndx", "", "AGE");
    OpenEditor();
    ChooseFile("people.cdx");
    ChooseTag("AGEDOWN");
    ASSERT_TRUE(Eventually([&] { return editor->size() == form->Workspace()->viewport()->size(); }));
    const QString folder = QString(PELMORA_BINARY_DIR) + "/screenshots";
    QDir().mkpath(folder);
    const QString file = folder + "/indexer.png";
    ASSERT_TRUE(form->grab().save(file));
    EXPECT_GT(std::filesystem::file_size(file.toStdString()), 1000u);
}

}  // namespace
