// The page: everything it shows is written into it, so it reads without scripts (a refresh every
// 5 s then); with scripts it follows /status.json each second and reloads the moves when the
// last result changes. Every text from the program or its files is escaped.
#include "webserver.h"

namespace
{

const char kHead[] = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>RV-360 crucible indexer</title>
<noscript><meta http-equiv="refresh" content="5"></noscript>
<style>
body{font-family:sans-serif;margin:1em;max-width:40em}
#pocket{font-size:5em;font-weight:bold;line-height:1}#name{font-size:2em}
.alarm{color:red;font-weight:bold}.inhibit{color:#b36b00;font-weight:bold}
table{border-collapse:collapse;margin-bottom:1em}td,th{border:1px solid #ccc;padding:.2em .4em;text-align:left}
</style></head><body>
<h1>RV-360 crucible indexer</h1>
)";

const char kScript[] = R"(<script>
const $ = id => document.getElementById(id);
let last;
function show(id, text) { $(id).textContent = text || ''; $(id).hidden = !text; }
function cells(line) {
  const c = [];
  line.replace(/(?:^|,)("(?:[^"]|"")*"|[^,]*)/g, (m, f) => {
    c.push(f[0] == '"' ? f.slice(1, -1).replace(/""/g, '"') : f); return ''; });
  return c;
}
async function moves() {
  const lines = (await (await fetch('/moves.csv?n=10', {cache: 'no-store'})).text()).split('\n');
  const body = $('moves').tBodies[0];
  body.replaceChildren();
  for (const line of lines.slice(1).filter(l => l).reverse()) {
    const c = cells(line), tr = body.insertRow();
    for (const i of [0, 3, 4, 1, 6]) tr.insertCell().textContent = c[i] ?? '';
  }
}
async function tick() {
  try {
    const s = await (await fetch('/status.json', {cache: 'no-store'})).json();
    $('pocket').textContent = s.pocket ?? '?';
    $('name').textContent = s.name ?? '';
    $('state').textContent = !s.answering ? 'Indexer not answering'
      : s.state == 'moving' ? 'Moving' : s.state == 'ready' ? 'Ready' : 'State unknown';
    show('alarm', s.alarm);
    show('inhibit', s.inhibit && 'Moves inhibited: ' + s.inhibit.reason + ' (' + s.inhibit.source + ')');
    $('remote').textContent = 'Remote control: ' + (s.remote ?? 'nobody');
    const l = JSON.stringify(s.last);
    if (l != last) { last = l; await moves(); }
  } catch (e) {
    $('state').textContent = 'Program not answering';
  }
}
tick();
setInterval(tick, 1000);
</script>
)";

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

// A record line's fields, quoted ones unquoted.
QStringList csvFields(const QString &line)
{
    QStringList fields{QString()};
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c == u'"' && quoted && i + 1 < line.size() && line[i + 1] == u'"')
            fields.last() += line[++i];
        else if (c == u'"')
            quoted = !quoted;
        else if (c == u',' && !quoted)
            fields.append(QString());
        else
            fields.last() += c;
    }
    return fields;
}

QString cells(const QStringList &texts, const char *tag = "td")
{
    QString row = QStringLiteral("<tr>");
    for (const QString &text : texts)
        row += QStringLiteral("<%1>%2</%1>").arg(QLatin1String(tag), escaped(text));
    return row + QStringLiteral("</tr>\n");
}

QString stateText(const MotionSupervisor::View &view)
{
    if (!view.answering)
        return QStringLiteral("Indexer not answering");
    return view.state == QLatin1String("moving")  ? QStringLiteral("Moving")
           : view.state == QLatin1String("ready") ? QStringLiteral("Ready")
                                                  : QStringLiteral("State unknown");
}

// A line shown only when it has a text.
QString flagged(const char *id, const QString &text)
{
    return QStringLiteral("<p id=\"%1\" class=\"%1\"%2>%3</p>\n")
        .arg(QLatin1String(id), text.isEmpty() ? QStringLiteral(" hidden") : QString(),
             escaped(text));
}

} // namespace

QByteArray WebServer::page() const
{
    const MotionSupervisor::View view = m_motion.view();
    QString html = QString::fromUtf8(kHead);
    html += QStringLiteral("<p><span id=\"pocket\">%1</span> <span id=\"name\">%2</span></p>\n"
                           "<p id=\"state\">%3</p>\n")
                .arg(view.pocket ? QString::number(*view.pocket) : QStringLiteral("?"),
                     escaped(view.name), escaped(stateText(view)));
    html += flagged("alarm", view.alarm);
    html += flagged("inhibit", view.inhibit ? QStringLiteral("Moves inhibited: %1 (%2)")
                                                  .arg(view.inhibit->reason, view.inhibit->source)
                                            : QString());
    html += QStringLiteral("<p id=\"remote\">Remote control: %1</p>\n")
                .arg(escaped(view.remoteHolder.isEmpty() ? QStringLiteral("nobody")
                                                         : view.remoteHolder));
    const QList<Pocket> layout = m_layout ? m_layout() : QList<Pocket>();
    html += QStringLiteral("<h2>Pockets</h2>\n<table id=\"pockets\">\n") +
            cells(layout.isEmpty() ? QStringList{"Pocket", "Name"}
                                   : QStringList{"Pocket", "Type", "Degrees", "Name"},
                  "th");
    for (int pocket = 1; pocket <= PocketLayout::kRows; ++pocket) {
        const QString number = QString::number(pocket);
        html += layout.size() >= pocket
                    ? cells({number, layout[pocket - 1].type,
                             QString::number(layout[pocket - 1].degrees), layout[pocket - 1].name})
                    : cells({number, m_motion.nameOf(pocket)});
    }
    html += QStringLiteral("</table>\n<h2>Last moves</h2>\n<table id=\"moves\"><thead>") +
            cells({"Time", "Target", "Result", "Source", "Message"}, "th") +
            QStringLiteral("</thead><tbody>\n");
    QStringList lines = m_motion.history(kPageMoves).mid(1);
    std::reverse(lines.begin(), lines.end());
    for (const QString &line : lines) {
        const QStringList f = csvFields(line) + QStringList(7, QString());
        html += cells({f[0], f[3], f[4], f[1], f[6]});
    }
    html += QStringLiteral("</tbody></table>\n");
    return html.toUtf8() + kScript + "</body></html>\n";
}
