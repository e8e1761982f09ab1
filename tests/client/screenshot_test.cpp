// A picture of the bound window with a post and its variables, written under the build tree
// (NORVALT_SCREENSHOT names another file). Under Xvfb with the xcb platform it is what an operator
// would see; offscreen it checks the same drawing.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QImage>
#include <QPixmap>
#include <QRawFont>
#include <QSet>
#include <QStyle>

#include "client/MainForm.h"
#include "tests/client/FakeNorvalt.h"

using cli::TForm1;
using namespace clitest;

namespace {

// Every character of `text` has a real glyph in the font the widget draws with.
bool DrawsAll(const QWidget& w, const QString& text) {
    const QRawFont raw = QRawFont::fromFont(w.font());
    if (!raw.isValid()) return false;
    const QList<quint32> glyphs = raw.glyphIndexesForString(text);
    for (int i = 0; i < text.size(); ++i)
        if (text[i] != QLatin1Char(' ') && (i >= glyphs.size() || glyphs[i] == 0)) return false;
    return true;
}

}  // namespace

TEST(Screenshot, BoundWindowWithAPostAndItsVariables) {
#if defined(__SANITIZE_THREAD__)
    // Qt's raster engine fills large areas on its own thread pool, inside libraries built without
    // ThreadSanitizer, which then reports Qt's hand-offs as races. The console's own threading
    // is covered by the other tests under ThreadSanitizer; this one draws in the other builds.
    GTEST_SKIP() << "painting runs on Qt's uninstrumented thread pool";
#endif
    auto fake = plat::MakeCom<FakeNorvalt>();
    fake->posts[6].state = tlb::csPaused;
    fake->posts[6].vars = {{tlb::cvDozeV, u"DozeV", 505000, 46000.5},
                           {tlb::cvCurrentV, u"CurrentV", 123400, 46000.5},
                           {tlb::cvTotalV, u"TotalV", 987654321, 46000.5},
                           {tlb::cvLiterPrice, u"LiterPrice", 525000, 46000.5}};
    fake->jumps = {{tlb::csPaused, tlb::csIdle}, {tlb::csPaused, tlb::csWaitingKey}};
    std::vector<QString> shown;
    {
        TForm1 form(
            [&](const std::string&, uint32_t, plat::ComPtr<plat::IUnknown>& out) {
                out = plat::QueryAs<plat::IUnknown>(fake.Get());
                return plat::S_OK;
            },
            [&](const QString& t) { shown.push_back(t); });
        form.show();
        form.Button2Click();
        ASSERT_TRUE(form.bound());
        Drain();
        ASSERT_TRUE(PumpUntil([&] { return form.isVisible() && form.Memory->rowCount() == 4; }));
        Drain();

        // Drawn straight into an opaque image of the format the PNG writer takes as it is.
        QImage img(form.size(), QImage::Format_RGB32);
        img.fill(Qt::white);
        form.render(&img);
        const QString path = qEnvironmentVariableIsSet("NORVALT_SCREENSHOT")
                                 ? qEnvironmentVariable("NORVALT_SCREENSHOT")
                                 : QStringLiteral("client-window.png");
        ASSERT_TRUE(img.save(path)) << path.toStdString();

        EXPECT_EQ(img.width() / img.devicePixelRatio(), 762);
        EXPECT_EQ(img.height() / img.devicePixelRatio(), 482);
        QSet<QRgb> colours;
        for (int y = 0; y < img.height(); y += 2)
            for (int x = 0; x < img.width(); x += 2) colours.insert(img.pixel(x, y));
        EXPECT_GT(colours.size(), 8) << "the picture is blank";

        EXPECT_TRUE(QFontMetrics(form.font()).inFontUcs4(U'Ж'))
            << QFontInfo(form.font()).family().toStdString();
        for (const QWidget* w : std::initializer_list<const QWidget*>{form.StateEdit, form.Label2,
                                                                      form.Work, form.Stop})
            EXPECT_TRUE(DrawsAll(*w, w->property("text").toString()))
                << w->objectName().toStdString() << " would draw boxes";
        // Every column title fits its column, drawn bold as the header draws the current row's.
        QHeaderView* header = form.DBGrid1->horizontalHeader();
        QFont bold = header->font();
        bold.setBold(true);
        const int margins =
            2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
        for (int c = 0; c < cli::MemTable::kFieldCount - 1; ++c) {
            const QString title = cli::MemTable::fieldTitle(static_cast<cli::MemTable::Field>(c));
            EXPECT_GE(header->sectionSize(c), QFontMetrics(bold).horizontalAdvance(title) + margins)
                << title.toStdString() << " is clipped";
        }
        EXPECT_EQ(form.StateEdit->text(), QStringLiteral("Отпуск остановлен"));
        EXPECT_TRUE(form.Work->isVisible() && form.Stop->isVisible() && !form.Pause->isVisible());
    }
    EXPECT_TRUE(shown.empty());
}
