// The find and filter dialogs, opened from the browse window's menu and filled in as a
// person fills them in, and the filter expressions they build.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "app_support.h"
#include "browser.h"
#include "filterrec.h"
#include "findrec.h"

namespace {

using apptest::Choose;
using apptest::WhenModal;

TEST(FilterExpression, FollowsTheFieldTypeAndPicksADelimiterTheValueLacks) {
    EXPECT_EQ(BuildFilterExpression("AGE", ftSmallint, foGreaterThan, "100", false), "AGE > 100");
    EXPECT_EQ(BuildFilterExpression("NAME", ftString, foEqual, "", false), "NAME = \"\"");
    EXPECT_EQ(BuildFilterExpression("NAME", ftString, foNotEqual, "Sm", true), "NAME <> \"Sm*\"");
    EXPECT_EQ(BuildFilterExpression("NAME", ftString, foLessThan, "O\"Brien", false), "NAME < 'O\"Brien'");
    EXPECT_EQ(BuildFilterExpression("NAME", ftString, foEqual, "it's \"x\"", false), "NAME = [it's \"x\"]");
    EXPECT_EQ(BuildFilterExpression("NAME", ftString, foEqual, "a\"b'c]d", false), std::nullopt);
    EXPECT_EQ(BuildFilterExpression("BORN", ftDate, foEqual, "03/04/1990", false), "BORN = {03/04/1990}");
    EXPECT_EQ(BuildFilterExpression("MEMBER", ftBoolean, foEqual, "yes", false), "MEMBER = .T.");
    EXPECT_EQ(BuildFilterExpression("MEMBER", ftBoolean, foEqual, ".F.", false), "MEMBER = .F.");
    EXPECT_EQ(BuildFilterExpression("MEMBER", ftBoolean, foNone, "t", false), "MEMBER .T.");
}

struct DialogFixture : apptest::MainFixture {
    TBrowseForm* browse = nullptr;
    void SetUp() override {
        MainFixture::SetUp();
        BrowsePeople();
        browse = form->BrowseForm();
        ASSERT_NE(browse, nullptr);
    }
    std::string Name() { return Table().FieldByName("NAME").AsString(); }
    // Visits the records the table shows now and returns their names.
    std::vector<std::string> Names() {
        std::vector<std::string> out;
        for (Table().First(); !Table().Eof(); Table().Next()) out.push_back(Name());
        return out;
    }
};

void Fill(QComboBox* fields, const QString& field, QLineEdit* value, const QString& text) {
    fields->setCurrentIndex(fields->findText(field));
    value->clear();
    QTest::keyClicks(value, text);
}

TEST_F(DialogFixture, FindMovesToTheFirstMatchPartlyOrExactly) {
    Table().First();
    WhenModal<TFindForm>([&](TFindForm& find) {
        EXPECT_EQ(find.windowTitle(), "Find a Record");
        // Sorted, memo field left out, the first one chosen.
        QStringList fields;
        for (int i = 0; i < find.cmbFields()->count(); ++i) fields << find.cmbFields()->itemText(i);
        EXPECT_EQ(fields, (QStringList{"AGE", "BORN", "MEMBER", "NAME"}));
        EXPECT_EQ(find.cmbFields()->currentText(), "AGE");
        EXPECT_TRUE(find.chkCaseInsensitive()->isChecked());
        EXPECT_TRUE(find.chkPartialKey()->isChecked());
        Fill(find.cmbFields(), "NAME", find.edtValue(), "person 0");
        QTest::mouseClick(find.btnOk(), Qt::LeftButton);
    });
    ASSERT_TRUE(Choose(*browse, "muFind"));
    EXPECT_EQ(Name(), "Person 01");

    Table().Last();
    WhenModal<TFindForm>([&](TFindForm& find) {
        Fill(find.cmbFields(), "NAME", find.edtValue(), "Person 07");
        find.chkPartialKey()->setChecked(false);
        QTest::mouseClick(find.btnOk(), Qt::LeftButton);
    });
    ASSERT_TRUE(Choose(*browse, "muFind"));
    EXPECT_EQ(Name(), "Person 07");
    EXPECT_TRUE(asker.asked.isEmpty());
}

TEST_F(DialogFixture, FindWithoutAMatchSaysSoAndStaysWhereItWas) {
    Table().First();
    Table().MoveBy(4);
    const std::string before = Name();
    asker.AnswerButton(QMessageBox::Ok);
    asker.AnswerButton(QMessageBox::Ok);
    WhenModal<TFindForm>([&](TFindForm& find) {
        // Without "Partial Key" a prefix is no match.
        Fill(find.cmbFields(), "NAME", find.edtValue(), "Person 0");
        find.chkPartialKey()->setChecked(false);
        QTest::mouseClick(find.btnOk(), Qt::LeftButton);
        EXPECT_TRUE(find.isVisible());
        Fill(find.cmbFields(), "NAME", find.edtValue(), "Nobody");
        QTest::mouseClick(find.btnOk(), Qt::LeftButton);
        EXPECT_TRUE(find.isVisible());
        QTest::mouseClick(find.btnCancel(), Qt::LeftButton);
    });
    ASSERT_TRUE(Choose(*browse, "muFind"));
    EXPECT_EQ(asker.asked, (QStringList{"message: Could not find a match.", "message: Could not find a match."}));
    EXPECT_EQ(Name(), before);
}

TEST_F(DialogFixture, FilterWithEachOperatorShowsOnlyTheMatchingRecords) {
    struct Case {
        const char* field;
        int op;
        const char* value;
        std::string expression;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"AGE", foGreaterThan, "28", "AGE > 28", {"Person 09", "Person 10"}},
        {"AGE", foLessThan, "23", "AGE < 23", {"Person 01", "Person 02"}},
        {"NAME", foEqual, "person 05", "NAME = \"person 05\"", {"Person 05"}},
        {"MEMBER", foNotEqual, "T", "MEMBER <> .T.", {"Person 01", "Person 03", "Person 05", "Person 07", "Person 09"}},
        {"BORN", foEqual, "03/04/1990", "BORN = {03/04/1990}", {"Person 04"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expression);
        std::string built;
        WhenModal<TFilterForm>([&](TFilterForm& filter) {
            EXPECT_EQ(filter.windowTitle(), "Select Filter Options");
            EXPECT_EQ(filter.cmbOperator()->currentText(), "equal");
            EXPECT_TRUE(filter.chkCaseInsensitive()->isChecked());
            EXPECT_FALSE(filter.chkWildCards()->isChecked());
            Fill(filter.cmbFields(), c.field, filter.edtValue(), c.value);
            filter.cmbOperator()->setCurrentIndex(c.op);
            QTest::mouseClick(filter.btnOk(), Qt::LeftButton);
            built = filter.Expression();
        });
        ASSERT_TRUE(Choose(*browse, "muFilter"));
        EXPECT_EQ(built, c.expression);
        EXPECT_TRUE(Table().Filtered());
        EXPECT_TRUE(apptest::Action(*browse, "muFilter")->isChecked());
        EXPECT_EQ(form->pnlFiltered()->text(), "Filter");
        EXPECT_EQ(Names(), c.names);
        // Choosing the checked item switches the filter off without a dialog.
        ASSERT_TRUE(Choose(*browse, "muFilter"));
        EXPECT_FALSE(Table().Filtered());
        EXPECT_FALSE(apptest::Action(*browse, "muFilter")->isChecked());
        EXPECT_EQ(form->pnlFiltered()->text(), "");
        EXPECT_EQ(Names().size(), 10u);
    }
    EXPECT_TRUE(asker.asked.isEmpty()) << asker.asked.join("; ").toStdString();
}

TEST_F(DialogFixture, WildcardsMatchTheStartOfAText) {
    WhenModal<TFilterForm>([&](TFilterForm& filter) {
        Fill(filter.cmbFields(), "NAME", filter.edtValue(), "person 1");
        filter.chkWildCards()->setChecked(true);
        QTest::mouseClick(filter.btnOk(), Qt::LeftButton);
    });
    ASSERT_TRUE(Choose(*browse, "muFilter"));
    EXPECT_EQ(Table().Filter(), "NAME = \"person 1*\"");
    EXPECT_EQ(Names(), (std::vector<std::string>{"Person 10"}));
}

TEST_F(DialogFixture, CancellingTheFilterDialogRemovesAnyFilter) {
    Table().SetFilter("AGE > 25");
    Table().SetFiltered(true);
    WhenModal<TFilterForm>([&](TFilterForm& filter) { QTest::mouseClick(filter.btnCancel(), Qt::LeftButton); });
    // The item was unchecked although a filter was on: choosing it opens the dialog.
    ASSERT_TRUE(Choose(*browse, "muFilter"));
    EXPECT_FALSE(Table().Filtered());
    EXPECT_FALSE(apptest::Action(*browse, "muFilter")->isChecked());
    EXPECT_EQ(form->pnlFiltered()->text(), "");

    WhenModal<TFilterForm>([&](TFilterForm& filter) { QTest::keyClick(&filter, Qt::Key_Escape); });
    ASSERT_TRUE(Choose(*browse, "muFilter"));
    EXPECT_FALSE(Table().Filtered());
    EXPECT_FALSE(apptest::Action(*browse, "muFilter")->isChecked());
}

TEST_F(DialogFixture, ABadFilterShowsItsErrorAndTheDialogStaysOpen) {
    bool stayed = false;
    WhenModal<TFilterForm>([&](TFilterForm& filter) {
        // A text compared with a number.
        Fill(filter.cmbFields(), "AGE", filter.edtValue(), "\"abc\"");
        QTest::mouseClick(filter.btnOk(), Qt::LeftButton);
        stayed = filter.isVisible();
        EXPECT_FALSE(Table().Filtered());
        // A value no delimiter can hold.
        Fill(filter.cmbFields(), "NAME", filter.edtValue(), "a\"b'c]");
        QTest::mouseClick(filter.btnOk(), Qt::LeftButton);
        EXPECT_TRUE(filter.isVisible());
        QTest::mouseClick(filter.btnCancel(), Qt::LeftButton);
    });
    asker.AnswerButton(QMessageBox::Ok);
    ASSERT_TRUE(Choose(*browse, "muFilter"));
    EXPECT_TRUE(stayed);
    ASSERT_EQ(asker.errors.size(), 1);
    EXPECT_FALSE(asker.errors.front().isEmpty());
    EXPECT_EQ(asker.asked.size(), 2);
    EXPECT_FALSE(Table().Filtered());
    EXPECT_EQ(form->pnlFiltered()->text(), "");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(DialogFixture, WithoutAnOpenTableTheDialogsEndAtOnce) {
    TFindForm find(form.get(), nullptr);
    EXPECT_EQ(find.exec(), QDialog::Rejected);
    Table().Close();
    TFilterForm filter(form.get(), &Table());
    EXPECT_EQ(filter.exec(), QDialog::Rejected);
}

}  // namespace
