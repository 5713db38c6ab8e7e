"""The HTML page of ``vl report --html``: one self-contained file.

Everything is inline: the style sheet, and the charts as SVG drawn with
matplotlib (imported here only, so the rest of the tool never pays for it).
Text in the charts stays text (not paths), every bar carries its figure as a
label and revoked parts are hatched, so the charts read without colour.
Every name from the store is HTML-escaped.
"""

from __future__ import annotations

import io
from html import escape
from typing import Any, Sequence

TOP = 12  # bars per chart; the rest are summed into one "other" bar

STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 72em; color: #1a1a1a; padding: 0 1em; }
header { border-bottom: 2px solid #444; margin-bottom: 1.5em; }
header dl { display: grid; grid-template-columns: max-content auto; gap: .2em 1em; }
header dt { font-weight: 600; }
h2 { margin-top: 2em; }
.charts { display: grid; grid-template-columns: repeat(auto-fit, minmax(30em, 1fr)); gap: 1.5em; }
figure { margin: 0; }
figure svg { width: 100%; height: auto; }
figcaption { font-weight: 600; margin-bottom: .3em; }
table { border-collapse: collapse; margin: .5em 0 1.5em; font-size: .92em; }
caption { text-align: left; font-weight: 600; font-size: 1.1em; padding: .3em 0; }
th, td { border-bottom: 1px solid #ccc; padding: .25em .7em; text-align: left; vertical-align: top; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
th { background: #eee; }
p.note { color: #444; max-width: 60em; }
"""

NOTE = ("A line with several sources counts in the row of each of its sections, licences and authors; "
        "the totals count every line once. A line or token entry is revoked when its own record is, when the "
        "revoked document list names it, or when one of its sections is withdrawn (the section itself or one of "
        "its authors revoked). Unattributed lines cite no registered section. Tokens come from the merged token "
        "files; entries not merged yet are shown as pending.")

ACTIVE, REVOKED = "#3b6ea8", "#d9822b"


def _svg(fig: Any) -> str:
    buf = io.StringIO()
    fig.savefig(buf, format="svg", bbox_inches="tight", metadata={"Date": None})
    text = buf.getvalue()
    return text[text.index("<svg"):]


def _top(items: list[tuple[str, int, int]]) -> list[tuple[str, int, int]]:
    """At most TOP bars, largest first; the rest summed into one."""
    items = sorted(items, key=lambda x: -x[1])
    if len(items) <= TOP:
        return items
    rest = items[TOP - 1:]
    return items[:TOP - 1] + [(f"other ({len(rest)})", sum(x[1] for x in rest), sum(x[2] for x in rest))]


def _chart(items: list[tuple[str, int, int]], unit: str, whole: int, stacked: bool = False) -> str:
    """A horizontal bar chart of (label, value, revoked part) items, largest
    on top.  Plain bars are labelled "value (share of whole)"; stacked bars
    split into active and hatched revoked parts, labelled with both."""
    from matplotlib import rc_context
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    items = _top(items)
    with rc_context({"svg.fonttype": "none", "svg.hashsalt": "vl-report", "font.size": 10}):
        fig = Figure(figsize=(7.5, 0.45 * len(items) + 1.0))
        ax = fig.subplots()
        names = [label if len(label) <= 40 else label[:39] + "…" for label, _, _ in items][::-1]
        values = [v for _, v, _ in items][::-1]
        revoked = [r for _, _, r in items][::-1]
        if stacked:
            active = [v - r for v, r in zip(values, revoked)]
            ax.barh(names, active, color=ACTIVE, label="active")
            ax.barh(names, revoked, left=active, color=REVOKED, hatch="//", edgecolor="white", label="revoked")
            labels = [f"{a:,} active, {r:,} revoked ({100.0 * r / v if v else 0:.1f}%)"
                      for a, r, v in zip(active, revoked, values)]
            ax.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncols=2, frameon=False)
        else:
            ax.barh(names, values, color=ACTIVE)
            labels = [f"{v:,} ({100.0 * v / whole if whole else 0:.1f}%)" for v in values]
        for y, (v, text) in enumerate(zip(values, labels)):
            ax.annotate(text, (v, y), xytext=(4, 0), textcoords="offset points", va="center")
        ax.xaxis.set_major_locator(MaxNLocator(integer=True))
        ax.set_xlabel(unit)
        ax.set_xlim(0, max(values + [1]) * 1.6)
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
        return _svg(fig)


def charts(report: dict[str, Any]) -> list[tuple[str, str]]:
    """The charts as (caption, inline SVG)."""
    out = []
    lic = report["licenses"]
    total = report["totals"]["lines"]
    if total:
        out.append(("Licence mix by tracked lines",
                    _chart([(r["license"], r["lines"], r["revoked_lines"]) for r in lic], "tracked lines", total)))
    for t in report["tokenizers"]:
        whole = report["totals"]["tokens"][t]["tokens"]
        if whole:
            out.append((f"Licence mix by tokens ({t})",
                        _chart([(r["license"], r["tokens"][t]["tokens"], r["tokens"][t]["revoked_tokens"])
                                for r in lic], f"{t} tokens", whole)))
    if total:
        authors = [(a["name"] if a["name"] is not None else f"(unregistered {a['id'][:12]})", a["lines"],
                    a["revoked_lines"]) for a in report["authors"] if a["lines"]]
        out.append(("Top authors by tracked lines", _chart(authors, "tracked lines", total)))
        out.append(("Revoked versus active lines per licence",
                    _chart([(r["license"], r["lines"], r["revoked_lines"]) for r in lic if r["lines"]],
                           "tracked lines", total, stacked=True)))
    for t in report["tokenizers"]:
        rows = [(r["license"], r["tokens"][t]["tokens"], r["tokens"][t]["revoked_tokens"]) for r in lic
                if r["tokens"][t]["tokens"]]
        if rows:
            out.append((f"Revoked versus active tokens per licence ({t})",
                        _chart(rows, f"{t} tokens", report["totals"]["tokens"][t]["tokens"], stacked=True)))
    return out


def _cell(value: Any) -> str:
    if isinstance(value, int) and not isinstance(value, bool):
        return f'<td class="n">{value}</td>'
    return f"<td>{escape(str(value))}</td>"


def _table(title: str, columns: Sequence[str], rows: Sequence[Sequence[Any]]) -> str:
    head = "".join(f"<th>{escape(c)}</th>" for c in columns)
    head = f"<thead><tr>{head}</tr></thead>\n" if any(columns) else ""
    body = "\n".join("<tr>" + "".join(_cell(c) for c in row) + "</tr>" for row in rows)
    return f"<table>\n<caption>{escape(title)}</caption>\n{head}<tbody>\n{body}\n</tbody>\n</table>"


def render(report: dict[str, Any], tables: list[tuple[str, list[str], list[list[Any]]]]) -> str:
    """The whole page."""
    figures = "\n".join(f"<figure>\n<figcaption>{escape(caption)}</figcaption>\n{svg}\n</figure>"
                        for caption, svg in charts(report))
    if not figures:
        figures = "<p>No tracked lines yet: nothing to chart.</p>"
    body = "\n".join(_table(*t) for t in tables)
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>vl report: {escape(report["store"])}</title>
<style>{STYLE}</style>
</head>
<body>
<header>
<h1>What the tracked data is made of</h1>
<dl>
<dt>Store</dt><dd>{escape(report["store"])}</dd>
<dt>Generated</dt><dd>{escape(report["generated_at"])}</dd>
<dt>Tool</dt><dd>vl {escape(report["version"])}</dd>
</dl>
</header>
<p class="note">{escape(NOTE)}</p>
<h2>Charts</h2>
<div class="charts">
{figures}
</div>
<h2>Tables</h2>
{body}
</body>
</html>
"""
