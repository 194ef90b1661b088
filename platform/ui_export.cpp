// Graphs and strip charts into files: the picture as PNG or SVG, the data
// shown as CSV, from the context menu or from the program.
#include <qcustomplot.h>

#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QSaveFile>
#include <QSvgGenerator>
#include <QTextStream>
#include <algorithm>
#include <cmath>

#include "ui_internal.h"
#include "ui_testing.h"

namespace kvexui {
namespace {

// "Position [units]" names the unit in brackets; a bare column name takes it.
QString Column(const QString &name, const QString &axisLabel) {
    if (name.contains(QLatin1Char('[')) || !axisLabel.contains(QLatin1Char('['))) return name;
    return name + QLatin1Char(' ') + axisLabel.mid(axisLabel.indexOf(QLatin1Char('[')));
}

QString TraceName(const Control &c, int i, const char *kind) {
    return i < c.traceNames.size() ? c.traceNames[i] : QStringLiteral("%1 %2").arg(kind).arg(i + 1);
}

// A slot with no sample (a gap in a strip chart) is an empty cell.
QString Number(double v) { return std::isfinite(v) ? QString::number(v, 'g', 12) : QString(); }

QString AxisName(const QCPAxis *axis, const char *fallback) {
    return axis->label().isEmpty() ? QLatin1String(fallback) : axis->label();
}

// One row per point on screen: the x axis' number, then every trace.
void StripRows(const Control &c, QTextStream &out) {
    const StripState &s = *c.strip;
    const QString y = c.plot->yAxis->label();
    QStringList header{AxisName(c.plot->xAxis, "point")};
    for (std::size_t t = 0; t < s.traces.size(); ++t)
        header << Column(TraceName(c, static_cast<int>(t), "trace"), y);
    out << header.join(QLatin1Char(',')) << "\r\n";
    const long long first = s.total - s.count + s.numberShift;
    for (int p = 0; p < s.count; ++p) {
        QStringList row{QString::number(first + p)};
        for (std::size_t t = 0; t < s.traces.size(); ++t)
            row << Number(s.ring[t * s.pointsPerScreen + (s.head + p) % s.pointsPerScreen]);
        out << row.join(QLatin1Char(',')) << "\r\n";
    }
}

// Curves side by side when they share their x values (the video curves),
// else one after the other with their name in front; a graph of bars and
// cursors lists those.
void GraphRows(const Control &c, QTextStream &out) {
    const GraphState &g = *c.graph;
    const QString x = AxisName(c.plot->xAxis, "x"), y = c.plot->yAxis->label();
    std::vector<const QCPGraph *> curves;
    for (const PlotEntry &e : g.plots)
        if (e.graph) curves.push_back(e.graph);
    if (curves.empty()) {
        out << "item," << Column(QStringLiteral("from"), x) << ','
            << Column(QStringLiteral("to"), x) << "\r\n";
        int n = 0;
        for (const PlotEntry &e : g.plots)
            if (e.rect)
                out << "bar " << ++n << ',' << Number(e.rect->topLeft->coords().x()) << ','
                    << Number(e.rect->bottomRight->coords().x()) << "\r\n";
        for (std::size_t i = 0; i < g.cursors.size(); ++i)
            out << "cursor " << i + 1 << ',' << Number(g.cursors[i].x) << ','
                << Number(g.cursors[i].x) << "\r\n";
        return;
    }
    const auto sameKeys = [&](const QCPGraph *a) {
        const auto *d0 = curves[0]->data().data();
        const auto *d = a->data().data();
        if (d->size() != d0->size()) return false;
        for (auto i = d->constBegin(), j = d0->constBegin(); i != d->constEnd(); ++i, ++j)
            if (i->key != j->key) return false;
        return true;
    };
    if (std::all_of(curves.begin(), curves.end(), sameKeys)) {
        QStringList header{x};
        for (std::size_t i = 0; i < curves.size(); ++i)
            header << Column(TraceName(c, static_cast<int>(i), "curve"), y);
        out << header.join(QLatin1Char(',')) << "\r\n";
        const auto *d0 = curves[0]->data().data();
        for (int p = 0; p < d0->size(); ++p) {
            QStringList row{Number(d0->at(p)->key)};
            for (const QCPGraph *curve : curves) row << Number(curve->data()->at(p)->value);
            out << row.join(QLatin1Char(',')) << "\r\n";
        }
        return;
    }
    out << "curve," << x << ',' << (y.isEmpty() ? QStringLiteral("y") : y) << "\r\n";
    for (std::size_t i = 0; i < curves.size(); ++i)
        for (auto p = curves[i]->data()->constBegin(); p != curves[i]->data()->constEnd(); ++p)
            out << TraceName(c, static_cast<int>(i), "curve") << ',' << Number(p->key) << ','
                << Number(p->value) << "\r\n";
}

Control *FindPlot(int panel, int control, int &code) {
    Control *c = FindControl(panel, control, code);
    if (c && !c->plot) {
        code = UIE_BAD_KIND;
        return nullptr;
    }
    return c;
}

void (*exportReport)(const char *text, int failed) = nullptr;
const char *(*exportPathCheck)(const char *path) = nullptr;
const char *refusedWhy = nullptr;  // why the last save was refused before it wrote

// The program's check of a path, or nullptr when it may be written.
const char *Refused(const char *file) {
    refusedWhy = nullptr;
    if (exportPathCheck) {
        const CallbackScope program;
        refusedWhy = exportPathCheck(file);
    }
    return refusedWhy;
}

void Report(QWidget *parent, const QString &file, bool saved) {
    QString text = (saved ? QStringLiteral("Saved %1") : QStringLiteral("Cannot write %1"))
                       .arg(QDir::toNativeSeparators(file));
    if (!saved && refusedWhy) text += QStringLiteral(": ") + QString::fromUtf8(refusedWhy);
    if (exportReport) {
        const CallbackScope program;
        exportReport(text.toLocal8Bit().constData(), saved ? 0 : 1);
        return;
    }
    // A file that did not come about must not pass for saved.
    if (saved) return;
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Save graph"), text,
                                QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void SaveChosen(int panel, int id, bool image, const QString &file) {
    const Control *c = FindControl(panel, id);
    if (!c) return;  // the graph went while the dialog was open
    const QByteArray path = file.toLocal8Bit();
    refusedWhy = nullptr;
    const int saved = image ? SaveGraphImage(panel, id, path.constData())
                            : SaveGraphData(panel, id, path.constData());
    Report(c->widget, file, saved == 0);
}

// The dialog answers later, from the event loop: a recording below it goes on.
void AskAndSave(int panel, int id, const char *defaultName, const char *filter, bool image) {
    const Control *c = FindControl(panel, id);
    if (!c) return;
    FileSelectRequest req;
    req.defaultName = defaultName;
    req.filter = filter;
    req.title = "Save graph";
    req.buttonLabel = VAL_SAVE_BUTTON;
    req.restrictExtension = true;
    req.save = true;
    AskFileLater(c->widget, req,
                 [panel, id, image](const QString &file) { SaveChosen(panel, id, image, file); });
}

}  // namespace

// A menu that popped up rather than ran its own loop: the measuring loop
// below goes on while the operator chooses.
void OfferExport(Control &c, const QPoint &globalPos) {
    auto *menu = new QMenu(c.widget);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const int panel = c.panel, id = c.id;
    const auto offer = [&](const QString &text, const char *name, const char *filter, bool image) {
        QObject::connect(menu->addAction(text), &QAction::triggered, menu,
                         [=] { AskAndSave(panel, id, name, filter, image); });
    };
    offer(QStringLiteral("Save as PNG..."), "graph.png", "*.png", true);
    offer(QStringLiteral("Save as SVG..."), "graph.svg", "*.svg", true);
    offer(QStringLiteral("Save data as CSV..."), "graph.csv", "*.csv", false);
    menu->popup(globalPos);
}

}  // namespace kvexui

using namespace kvexui;

void SetExportReport(void (*report)(const char *text, int failed)) { exportReport = report; }

void SetExportPathCheck(const char *(*check)(const char *path)) { exportPathCheck = check; }

int SaveGraphImage(int panel, int control, const char *file) {
    int code = 0;
    Control *c = FindPlot(panel, control, code);
    if (!c) return code;
    if (!file || !*file) return UIE_BAD_ARGUMENT;
    if (Refused(file)) return UIE_FILE;
    ReplotNow(*c);
    const QString path = QString::fromLocal8Bit(file);
    if (!path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive))
        return c->plot->grab().save(path, "PNG") ? 0 : UIE_FILE;
    QSvgGenerator svg;
    svg.setFileName(path);
    svg.setSize(c->plot->size());
    svg.setViewBox(QRect(QPoint(0, 0), c->plot->size()));
    svg.setTitle(c->label);
    QCPPainter painter;
    if (!painter.begin(&svg)) return UIE_FILE;
    c->plot->toPainter(&painter, c->plot->width(), c->plot->height());
    painter.end();
    return QFile::exists(path) && QFile(path).size() > 0 ? 0 : UIE_FILE;
}

int SaveGraphData(int panel, int control, const char *file) {
    int code = 0;
    Control *c = FindPlot(panel, control, code);
    if (!c) return code;
    if (!file || !*file) return UIE_BAD_ARGUMENT;
    if (Refused(file)) return UIE_FILE;
    // Written whole or not at all: a full disk leaves no half table behind.
    QSaveFile out(QString::fromLocal8Bit(file));
    if (!out.open(QIODevice::WriteOnly)) return UIE_FILE;
    QTextStream text(&out);
    text.setEncoding(QStringConverter::Utf8);
    if (c->strip)
        StripRows(*c, text);
    else
        GraphRows(*c, text);
    text.flush();
    return text.status() == QTextStream::Ok && out.commit() ? 0 : UIE_FILE;
}
