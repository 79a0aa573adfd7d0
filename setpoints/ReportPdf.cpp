#include "ReportPdf.h"

#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include <numeric>

namespace {

class PdfPages {
public:
    PdfPages(QPdfWriter& writer, QPainter& painter) : writer_(writer), p_(painter)
    {
        page_ = QRectF(writer.pageLayout().paintRectPixels(writer.resolution()));
        page_.moveTopLeft({0, 0});
        y_ = 0;
    }

    void Title(const QString& text)
    {
        p_.setFont(Font(14, true));
        const qreal h = Height(text, page_.width());
        p_.drawText(QRectF(0, y_, page_.width(), h), Qt::AlignHCenter | Qt::TextWordWrap, text);
        y_ += h + Mm(4);
    }

    void Heading(const QString& text)
    {
        p_.setFont(Font(11, true));
        // A heading goes with at least a few lines of what follows it.
        Room(Height(text, page_.width()) * 4 + Mm(3));
        y_ += Mm(3);
        const qreal h = Height(text, page_.width());
        p_.drawText(QRectF(0, y_, page_.width(), h), Qt::TextWordWrap, text);
        y_ += h + Mm(1.5);
    }

    void Text(const QString& text)
    {
        p_.setFont(Font(10, false));
        const qreal h = Height(text, page_.width());
        Room(h);
        p_.drawText(QRectF(0, y_, page_.width(), h), Qt::TextWordWrap, text);
        y_ += h + Mm(1);
    }

    void Blank(const QString& caption)
    {
        p_.setFont(Font(10, false));
        const QString text = caption + ":";
        const qreal h = Height(text, page_.width()) + Mm(4);
        Room(h);
        const qreal w = QFontMetricsF(p_.font(), &writer_).horizontalAdvance(text) + Mm(2);
        p_.drawText(QRectF(0, y_, w, h), Qt::AlignLeft | Qt::AlignBottom, text);
        p_.drawLine(QPointF(w, y_ + h - Mm(0.8)), QPointF(page_.width(), y_ + h - Mm(0.8)));
        y_ += h + Mm(1);
    }

    void Table(const ReportBlock& table)
    {
        const int total = std::accumulate(table.widths.begin(), table.widths.end(), 0);
        std::vector<qreal> widths;
        for (int w : table.widths)
            widths.push_back(page_.width() * w / total);
        for (std::size_t r = 0; r < table.rows.size(); ++r) {
            const bool header = r == 0;
            const qreal h = RowHeight(table.rows[r], widths, header);
            // A table that runs over a page takes its header with it.
            if (!header && y_ + h > page_.height()) {
                NewPage();
                Row(table.rows[0], widths, true, RowHeight(table.rows[0], widths, true));
            }
            Row(table.rows[r], widths, header, h);
        }
        y_ += Mm(1);
    }

private:
    static QString Q(const std::string& s) { return QString::fromStdString(s); }

    QFont Font(int points, bool bold) const
    {
        QFont font;
        font.setFamilies({"DejaVu Sans", "Arial", "Liberation Sans"});
        font.setStyleHint(QFont::SansSerif);
        font.setPointSize(points);
        font.setBold(bold);
        return font;
    }

    qreal Mm(qreal mm) const { return mm * writer_.resolution() / 25.4; }

    qreal Height(const QString& text, qreal width) const
    {
        return QFontMetricsF(p_.font(), &writer_)
            .boundingRect(QRectF(0, 0, width, 1e6), Qt::TextWordWrap, text)
            .height();
    }

    void Room(qreal height)
    {
        if (y_ > 0 && y_ + height > page_.height())
            NewPage();
    }

    void NewPage()
    {
        writer_.newPage();
        y_ = 0;
    }

    qreal RowHeight(const std::vector<std::string>& cells, const std::vector<qreal>& widths, bool header)
    {
        p_.setFont(Font(9, header));
        qreal h = 0;
        for (std::size_t c = 0; c < cells.size() && c < widths.size(); ++c)
            h = std::max(h, Height(Q(cells[c]), widths[c] - Mm(2)));
        return h + Mm(1.2);
    }

    void Row(const std::vector<std::string>& cells, const std::vector<qreal>& widths, bool header, qreal h)
    {
        p_.setFont(Font(9, header));
        qreal x = 0;
        for (std::size_t c = 0; c < widths.size(); ++c) {
            const QRectF cell(x, y_, widths[c], h);
            if (header)
                p_.fillRect(cell, QColor(230, 230, 230));
            p_.drawRect(cell);
            if (c < cells.size())
                p_.drawText(cell.adjusted(Mm(1), Mm(0.6), -Mm(1), -Mm(0.6)), Qt::TextWordWrap, Q(cells[c]));
            x += widths[c];
        }
        y_ += h;
    }

    QPdfWriter& writer_;
    QPainter& p_;
    QRectF page_;
    qreal y_;
};

} // namespace

bool WriteReportPdf(const std::vector<ReportBlock>& report, const QString& fileName, QString* error)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    {
        QPdfWriter writer(&file);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(18, 15, 15, 15),
                                         QPageLayout::Millimeter));
        writer.setResolution(300);
        writer.setTitle(QString::fromUtf8("Протокол проверки уставок реле"));
        writer.setCreator(QStringLiteral("zaritmon"));
        QPainter painter;
        if (!painter.begin(&writer)) {
            *error = QString::fromUtf8("не удалось начать PDF");
            file.cancelWriting();
            return false;
        }
        painter.setPen(QPen(Qt::black, 2));
        PdfPages pages(writer, painter);
        for (const ReportBlock& block : report) {
            const QString text = QString::fromStdString(block.text);
            switch (block.kind) {
            case ReportBlock::Kind::Title: pages.Title(text); break;
            case ReportBlock::Kind::Heading: pages.Heading(text); break;
            case ReportBlock::Kind::Text: pages.Text(text); break;
            case ReportBlock::Kind::Blank: pages.Blank(text); break;
            case ReportBlock::Kind::Table: pages.Table(block); break;
            }
        }
        painter.end();
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
