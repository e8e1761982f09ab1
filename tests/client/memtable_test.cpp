// The post table on its own: states, current row, insert order, locate, AfterPost and the
// view's face.
#include <gtest/gtest.h>

#include <stdexcept>

#include "client/MemTable.h"

using cli::MemTable;
using State = MemTable::State;

namespace {

// A table filled with rows of the given codes, top to bottom, in browse state.
void Fill(MemTable& t, std::initializer_list<int> codes) {
    t.open();
    for (auto it = std::rbegin(codes); it != std::rend(codes); ++it) {
        t.insert();
        t.setFieldValue(MemTable::Code, *it);
        t.post();
    }
}

std::vector<int> Codes(const MemTable& t) {
    std::vector<int> out;
    for (int r = 0; r < t.rowCount(); ++r)
        out.push_back(t.data(t.index(r, MemTable::Code), Qt::EditRole).toInt());
    return out;
}

}  // namespace

TEST(MemTable, StatesThroughOpenInsertEditPostCancelClose) {
    MemTable t;
    EXPECT_EQ(t.state(), State::Inactive);
    EXPECT_THROW(t.insert(), std::logic_error);
    EXPECT_THROW(t.first(), std::logic_error);
    EXPECT_THROW(t.fieldValue(MemTable::Code), std::logic_error);

    t.open();
    EXPECT_EQ(t.state(), State::Browse);
    EXPECT_EQ(t.recordCount(), 0);
    EXPECT_EQ(t.currentRow(), -1);
    EXPECT_THROW(t.edit(), std::logic_error) << "nothing to edit in an empty table";
    EXPECT_THROW(t.setFieldValue(MemTable::Code, 1), std::logic_error) << "not in browse";

    t.insert();
    EXPECT_EQ(t.state(), State::Insert);
    t.setFieldValue(MemTable::Code, 3);
    t.setFieldValue(MemTable::Data, 1.5);
    t.post();
    EXPECT_EQ(t.state(), State::Browse);
    EXPECT_EQ(t.fieldValue(MemTable::Code).toInt(), 3);

    t.edit();
    EXPECT_EQ(t.state(), State::Edit);
    t.setFieldValue(MemTable::Data, 7.25);
    EXPECT_EQ(t.fieldValue(MemTable::Data).toDouble(), 7.25);
    t.cancel();
    EXPECT_EQ(t.state(), State::Browse);
    EXPECT_EQ(t.fieldValue(MemTable::Data).toDouble(), 1.5) << "cancel restores the row";

    t.edit();
    t.setFieldValue(MemTable::Data, 8.0);
    t.post();
    EXPECT_EQ(t.fieldValue(MemTable::Data).toDouble(), 8.0);

    t.insert();
    t.setFieldValue(MemTable::Code, 4);
    t.cancel();
    EXPECT_EQ(t.state(), State::Browse);
    EXPECT_EQ(Codes(t), std::vector<int>{3}) << "a cancelled insert leaves no row";
    EXPECT_EQ(t.fieldValue(MemTable::Code).toInt(), 3);

    t.open();  // already open: stays as it is
    EXPECT_EQ(t.recordCount(), 1);
    t.close();
    EXPECT_EQ(t.state(), State::Inactive);
    t.open();
    EXPECT_EQ(t.recordCount(), 0) << "opening starts empty";
}

TEST(MemTable, InsertGoesBeforeTheCurrentRow) {
    MemTable t;
    t.open();
    for (int code : {30, 20, 10}) {
        t.insert();
        t.setFieldValue(MemTable::Code, code);
        t.post();
    }
    EXPECT_EQ(Codes(t), (std::vector<int>{10, 20, 30}));
    t.moveTo(2);
    t.insert();
    t.setFieldValue(MemTable::Code, 25);
    t.post();
    EXPECT_EQ(Codes(t), (std::vector<int>{10, 20, 25, 30}));
    EXPECT_EQ(t.currentRow(), 2);
}

TEST(MemTable, LocateScansFromTheFirstRowAndRestoresOnMiss) {
    MemTable t;
    Fill(t, {5, 7, 9, 7});
    t.moveTo(2);
    EXPECT_TRUE(t.locate(MemTable::Code, 7));
    EXPECT_EQ(t.currentRow(), 1) << "the first match from the top";
    t.moveTo(3);
    EXPECT_FALSE(t.locate(MemTable::Code, 42));
    EXPECT_EQ(t.currentRow(), 3) << "old position restored";
    EXPECT_FALSE(t.locate(MemTable::Code, QVariant())) << "a null value matches nothing";
    EXPECT_EQ(t.currentRow(), 3);
    EXPECT_TRUE(t.locate(MemTable::Code, QStringLiteral("9"))) << "converted to the field's type";
    EXPECT_EQ(t.currentRow(), 2);
}

TEST(MemTable, AfterPostRunsOnEveryPostWhileAttachedOnly) {
    MemTable t;
    int posts = 0;
    t.setAfterPost([&] { ++posts; });
    Fill(t, {1, 2});
    EXPECT_EQ(posts, 2);
    t.edit();
    t.cancel();
    t.post();  // browse: nothing to post
    EXPECT_EQ(posts, 2);
    t.edit();
    t.setFieldValue(MemTable::Data, 1.0);
    t.first();  // moving posts the pending change
    EXPECT_EQ(posts, 3);
    t.clearAfterPost();
    t.edit();
    t.post();
    EXPECT_EQ(posts, 3);

    // A handler that detaches itself (as a reload does) finishes safely.
    t.setAfterPost([&] {
        t.clearAfterPost();
        ++posts;
    });
    t.edit();
    t.post();
    EXPECT_EQ(posts, 4);
    EXPECT_FALSE(t.afterPostAttached());
}

TEST(MemTable, BookmarkStaysWithItsRow) {
    MemTable t;
    Fill(t, {1, 2, 3});
    t.moveTo(1);
    const qint64 b = t.bookmark();
    EXPECT_NE(b, 0);
    t.first();
    t.insert();
    t.post();
    t.first();
    ASSERT_TRUE(t.gotoBookmark(b));
    EXPECT_EQ(t.fieldValue(MemTable::Code).toInt(), 2);
    EXPECT_FALSE(t.gotoBookmark(987654));
}

TEST(MemTable, FieldsKeepTheirTypes) {
    MemTable t;
    t.open();
    t.insert();
    t.setFieldValue(MemTable::Name, QString(45, QLatin1Char('x')));
    EXPECT_EQ(t.fieldValue(MemTable::Name).toString().size(), MemTable::kNameLength);
    EXPECT_THROW(t.setFieldValue(MemTable::Code, QStringLiteral("abc")), std::invalid_argument);
    EXPECT_THROW(t.setFieldValue(MemTable::IdleInterval, qlonglong(1) << 40),
                 std::invalid_argument);
    EXPECT_THROW(t.setFieldValue(MemTable::Data, QStringLiteral("x")), std::invalid_argument);
    t.setFieldValue(MemTable::Data, QStringLiteral("2.5"));
    EXPECT_EQ(t.fieldValue(MemTable::Data).typeId(), QMetaType::Double);
    t.setFieldValue(MemTable::Stamp, QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9)));
    EXPECT_EQ(t.data(t.index(0, MemTable::Stamp)).toString(),
              QStringLiteral("06.05.2024 07:08:09"));
    t.post();
}

TEST(MemTable, GrowsPastItsStartingCapacity) {
    MemTable t;
    t.open();
    for (int i = 0; i < 3 * MemTable::kCapacity; ++i) {
        t.insert();
        t.setFieldValue(MemTable::Code, i);
        t.post();
    }
    EXPECT_EQ(t.recordCount(), 3 * MemTable::kCapacity);
}

TEST(MemTable, ModelFaceTitlesAndEditingFromTheView) {
    MemTable t;
    EXPECT_EQ(t.columnCount(), 6);
    const char* titles[] = {"Код",      "Наименование",     "Время",
                            "Значение", "Инт.при ожидании", "Инт.при отп."};
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(t.headerData(c, Qt::Horizontal).toString(), QString::fromUtf8(titles[c]));

    Fill(t, {1, 2});
    int posts = 0;
    t.setAfterPost([&] { ++posts; });
    EXPECT_TRUE(t.setData(t.index(1, MemTable::Data), 4.5));
    EXPECT_EQ(t.state(), State::Edit);
    EXPECT_EQ(t.currentRow(), 1);
    EXPECT_FALSE(t.setData(t.index(0, MemTable::Data), QStringLiteral("nope")));
    EXPECT_EQ(t.currentRow(), 1) << "a refused value moves nothing";
    EXPECT_EQ(posts, 0);
    EXPECT_TRUE(t.setData(t.index(0, MemTable::Data), 1.25));
    EXPECT_EQ(posts, 1) << "moving to another row posts the edited one";
    EXPECT_EQ(t.data(t.index(1, MemTable::Data)).toString(), QStringLiteral("4.5"));
}

TEST(MemTable, SuspendedViewSeesOneResetAtTheEnd) {
    MemTable t;
    t.open();
    int inserted = 0, changed = 0, resets = 0;
    QObject::connect(&t, &QAbstractItemModel::rowsInserted, [&] { ++inserted; });
    QObject::connect(&t, &QAbstractItemModel::dataChanged, [&] { ++changed; });
    QObject::connect(&t, &QAbstractItemModel::modelReset, [&] { ++resets; });
    t.disableControls();
    t.disableControls();
    t.insert();
    t.setFieldValue(MemTable::Code, 1);
    t.post();
    t.enableControls();
    EXPECT_EQ(resets, 0) << "nested: still suspended";
    t.enableControls();
    EXPECT_EQ(inserted, 0);
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(resets, 1);
    t.insert();
    EXPECT_EQ(inserted, 1) << "live again";
    t.cancel();
}
