#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the section-3 man pages from Doxygen's XML of the public header:
one page per exported function (NAME, SYNOPSIS, DESCRIPTION, RETURN VALUE
when the comment has one, SEE ALSO), and vrelay(3), the overview: the
header's own description, its types, constants and functions. Whatever the
comments say is carried over; their tables become tbl tables.

Usage: man3.py XML_DIR OUT_DIR VERSION
"""
import os
import re
import sys
import xml.etree.ElementTree as ET

HEADER = "vrelay_8h.xml"
INCLUDE = "#include <vrelay/vrelay.h>"
LINK = "Link with \\fB\\-lvrelay_shared\\fP (\\fBpkg\\-config \\-\\-libs vrelay\\fP)."
BREAK = "\x01"  # a line break inside running text
BLOCKS = ("table", "itemizedlist", "orderedlist", "simplesect", "parameterlist",
          "programlisting", "verbatim")
# Names such as vrCancelRequest or VR_BAD_HANDLE: never hyphenated.
IDENTIFIER = re.compile(r"(?<!\S)(?=\S*?\b[A-Za-z]\w*(?:[a-z][A-Z]|_))")


def escape(text):
    return text.replace("\\", "\\e")


def code(text):
    return escape(text).replace("-", "\\-")


def line(text):
    """Running text as input lines; none may start as a request does."""
    text = IDENTIFIER.sub("\\\\%", text.strip())
    if not text:
        return ""
    lines = [part.strip() for part in text.split(BREAK)]
    return "\n.br\n".join("\\&" + l if l[:1] in (".", "'") else l for l in lines) + "\n"


def tbl(rows, heads):
    """A boxed table of text blocks, so long cells wrap. A column is as wide
    as its longest word, or its longest cell up to a share of the line; the
    last one takes the rest of the line."""
    columns = max(len(row) for row in rows)
    rows = [row + ["\\&"] * (columns - len(row)) for row in rows]
    plain = [[re.sub(r"\\f[BIP]|\\%|\\&|\\", "", cell) for cell in row] for row in rows]
    widths = [max(max(len(word) for row in plain for word in row[c].split() or [""]),
                  min(max(len(row[c]) for row in plain), 70 // columns))
              for c in range(columns)]
    formats, body = [], []
    for row, head in zip(rows, heads):
        font = "b" if head else ""
        formats.append(" ".join(["l%sw(%dn)" % (font, max(w, 1)) for w in widths[:-1]] +
                                ["l%sx" % font]))
        body.append("\t".join("T{\n%sT}" % (line(cell) or "\\&\n") for cell in row) + "\n")
    # Ragged right: narrow columns cannot be justified.
    return ".PP\n.na\n.TS\nallbox tab(\t);\n%s.\n%s.TE\n.ad\n.sp\n" % (
        "\n".join(formats), "".join(body))


class Roff:
    """Turns Doxygen's description markup into man(7) requests. Return
    values and "see also" notes are set aside for their own sections."""

    def __init__(self):
        self.returns = []
        self.see = []

    def inline(self, node):
        """The text of an element and its inline children, fonts kept."""
        if node is None:
            return ""
        parts = [escape(node.text or "")]
        for child in node:
            parts.append(self.inline_child(child))
            parts.append(escape(child.tail or ""))
        return re.sub(r"\s+", " ", "".join(parts))

    def inline_child(self, child):
        tag = child.tag
        if tag in BLOCKS:
            return ""  # para() sets these apart
        if tag == "linebreak":
            return BREAK
        inner = self.inline(child)
        if tag == "computeroutput":
            return "\\fB%s\\fP" % inner.replace("-", "\\-")
        if tag in ("emphasis", "parametername"):
            return "\\fI%s\\fP" % inner
        if tag == "bold":
            return "\\fB%s\\fP" % inner
        if tag == "ulink":
            return "%s <%s>" % (inner, escape(child.get("url", "")))
        return inner

    def block(self, node):
        """The paragraphs, sections, tables and lists of a description."""
        out = []
        for child in [] if node is None else node:
            if child.tag in ("sect1", "sect2", "sect3", "sect4"):
                out.append(".SS %s\n" % self.inline(child.find("title")).strip())
                out.append(self.block(child))
            elif child.tag != "title":
                out.append(self.para(child))
        return "".join(out)

    def flat(self, node):
        """A description as one paragraph's worth of input lines."""
        return self.block(node).replace(".PP\n", "", 1)

    def para(self, node):
        """One paragraph; the blocks nested in it (tables, lists, notes)
        break it where they stand."""
        out, text = [], [escape(node.text or "")]

        def flush():
            joined = line(re.sub(r"\s+", " ", "".join(text)))
            if joined:
                out.append(".PP\n" + joined)
            text.clear()

        for child in node:
            tag = child.tag
            if tag in BLOCKS:
                flush()
                out.append(self.set_apart(child))
            else:
                text.append(self.inline_child(child))
            text.append(escape(child.tail or ""))
        flush()
        return "".join(out)

    def set_apart(self, node):
        tag = node.tag
        if tag == "table":
            rows = node.findall("row")
            return tbl([[self.block(e).replace(".PP\n", " ").strip()
                         for e in r.findall("entry")] for r in rows],
                       [any(e.get("thead") == "yes" for e in r.findall("entry")) for r in rows])
        if tag in ("itemizedlist", "orderedlist"):
            return "".join(".IP %s 4\n%s" % ("\\(bu" if tag == "itemizedlist" else "%d." % n,
                                             self.flat(item))
                           for n, item in enumerate(node.findall("listitem"), 1)) + ".PP\n"
        if tag in ("programlisting", "verbatim"):
            lines = [code_text(c) for c in node.iter("codeline")] \
                if tag == "programlisting" else (node.text or "").splitlines()
            return ".PP\n.RS 4\n.nf\n%s.fi\n.RE\n" % "".join(
                ("\\&" + code(l) if l else "") + "\n" for l in lines)
        if tag == "parameterlist":
            items = "".join(".TP\n%s\n%s" % (
                ", ".join(self.inline_child(n) for n in item.iter("parametername")),
                self.flat(item.find("parameterdescription")))
                for item in node.findall("parameteritem"))
            if node.get("kind") == "retval":
                self.returns.append(items)
                return ""
            return items
        kind = node.get("kind")  # simplesect
        if kind == "return":
            self.returns.append(self.block(node))
        elif kind == "see":
            self.see.append(self.flat(node))
        else:
            return ".PP\n\\fB%s:\\fP\n%s" % (kind.capitalize(), self.flat(node))
        return ""


def code_text(node):
    """A line of a code listing; Doxygen writes its spaces as <sp/>."""
    parts = [node.text or ""]
    for child in node:
        parts.append((" " if child.tag == "sp" else code_text(child)) + (child.tail or ""))
    return "".join(parts)


def brief_of(node):
    para = node.find("briefdescription/para")
    return Roff().inline(para).strip().rstrip(".")


def prototype(member):
    """The declaration, bold, with the argument names in italics."""
    result = "".join(member.find("type").itertext()).strip()
    bold = "%s%s%s(" % (result, "" if result.endswith("*") else " ", member.findtext("name"))
    words = []  # .BI alternates: bold, italic, bold, ...
    for index, param in enumerate(member.findall("param")):
        kind = "".join(param.find("type").itertext()).strip()
        declname = param.findtext("declname")
        bold += (", " if index else "") + kind
        if declname:
            words += [bold + ("" if kind.endswith("*") else " "), declname]
            bold = ""
    words.append(bold + ");")
    return ".BI %s\n" % " ".join('"%s"' % code(w) for w in words)


def page(name, names, version, summary, sections):
    body = "".join(".SH %s\n%s" % (title, text) for title, text in sections if text.strip())
    return "%s.TH %s 3 \"\" \"vrelay %s\" \"vrelay manual\"\n.SH NAME\n%s \\- %s\n%s" % (
        "'\\\" t\n" if ".TS" in body else "", name.upper(), version,
        ", ".join(code(n) for n in names), summary, body)


def synopsis(members):
    return ".nf\n.B %s\n.PP\n%s.fi\n.PP\n%s\n" % (
        INCLUDE, "".join(prototype(m) for m in members), LINK)


def see_also(names, extra=()):
    return ",\n".join([".BR %s (%s)" % (code(n), s) for n, s in names] +
                      [e.strip() for e in extra]) + "\n"


def function_pages(root, version, out_dir):
    """One page per function; a comment that documents a group of functions
    lists them all in each one's NAME and SYNOPSIS."""
    groups = []
    for section in root.findall("sectiondef"):
        members = [m for m in section.findall("memberdef") if m.get("kind") == "function"]
        if section.get("kind") == "user-defined":
            groups += [members] if members else []
        else:
            groups += [[m] for m in members]
    for members in groups:
        names = [m.findtext("name") for m in members]
        for member in members:
            roff = Roff()
            description = roff.block(member.find("briefdescription")) + \
                roff.block(member.find("detaileddescription"))
            others = [("vrelay", 3)] + [(n, 3) for n in names if n != member.findtext("name")]
            write(out_dir, member.findtext("name"), page(
                member.findtext("name"), names, version, brief_of(member), [
                    ("SYNOPSIS", synopsis(members)), ("DESCRIPTION", description),
                    ("RETURN VALUE", "".join(roff.returns)),
                    ("SEE ALSO", see_also(others, roff.see))]))
    return sorted((m for g in groups for m in g),
                  key=lambda m: int(m.find("location").get("line")))


def overview_page(root, functions, version, out_dir):
    """vrelay(3): the header's description, its types and constants, and
    every function with its summary."""
    roff = Roff()

    def described(member):
        return roff.block(member.find("briefdescription")) + \
            roff.block(member.find("detaileddescription"))

    types, constants = [], []
    for member in root.iter("memberdef"):
        if member.get("kind") == "typedef":
            types.append(".TP\n.B %s\n%s" % (code(member.findtext("name")),
                                             described(member).replace(".PP\n", "", 1)))
        elif member.get("kind") == "enum":
            values = member.findall("enumvalue")
            meanings = any(v.find("briefdescription/para") is not None for v in values)
            rows = [["name", "value"] + (["meaning"] if meanings else [])]
            for value in values:
                number = (value.findtext("initializer") or "").lstrip("= ").strip()
                rows.append([code(value.findtext("name")), code(number)] + (
                    [roff.inline(value.find("briefdescription")) +
                     roff.inline(value.find("detaileddescription"))] if meanings else []))
            constants.append(described(member) + tbl(rows, [True] + [False] * len(values)))
    summary = tbl([["function", "what it does"]] +
                  [[code(m.findtext("name")), brief_of(m)] for m in functions],
                  [True] + [False] * len(functions))
    brief = brief_of(root).split(" - ", 1)[-1]  # "vrelay.h - the public interface ..."
    write(out_dir, "vrelay", page("vrelay", ["vrelay"], version, brief, [
        ("SYNOPSIS", ".nf\n.B %s\n.fi\n.PP\n%s\n" % (INCLUDE, LINK)),
        ("DESCRIPTION", roff.block(root.find("detaileddescription"))),
        ("TYPES", "".join(types)), ("CONSTANTS", "".join(constants)),
        ("FUNCTIONS", summary),
        ("SEE ALSO", see_also([(m.findtext("name"), 3) for m in functions] +
                              [("vrelay-say", 1), ("vrelay-server", 1)]))]))


def write(out_dir, name, text):
    with open(os.path.join(out_dir, name + ".3"), "w", encoding="utf-8") as f:
        f.write(text)


def main():
    xml_dir, out_dir, version = sys.argv[1:4]
    root = ET.parse(os.path.join(xml_dir, HEADER)).getroot().find("compounddef")
    os.makedirs(out_dir, exist_ok=True)
    for old in os.listdir(out_dir):  # a function that went leaves no page behind
        if old.endswith(".3"):
            os.remove(os.path.join(out_dir, old))
    functions = function_pages(root, version, out_dir)
    overview_page(root, functions, version, out_dir)


if __name__ == "__main__":
    main()
