// The control words the RTF reader knows, and the destinations it reads past.
#include "rtf/RtfInternal.h"

#include <QFont>
#include <QTextCharFormat>
#include <QTextFrameFormat>

#include <unordered_map>

namespace platform::rtf {

namespace {

struct KwEntry
{
    const char *name;
    KwInfo info;
};

// clang-format off
const KwEntry kKeywords[] = {
    {"fonttbl", {Kw::FontTable}}, {"colortbl", {Kw::ColorTable}}, {"field", {Kw::Field}},
    {"fldinst", {Kw::FldInst}}, {"fldrslt", {Kw::FldRslt}},
    // The numbers or bullets of list items, written for readers that know no lists.
    {"listtext", {Kw::MarkerText}}, {"pntext", {Kw::MarkerText}},
    // Groups whose own words are read but which hold no text of their own: shapes (their text
    // box is \shptxt) and the row definitions of nested tables.
    {"shp", {Kw::Container}}, {"shpinst", {Kw::Container}}, {"shpgrp", {Kw::Container}},
    {"nesttableprops", {Kw::Container}}, {"shptxt", {Kw::TextDest}},
    {"upr", {Kw::Upr}}, {"ud", {Kw::Ud}}, {"footnote", {Kw::Footnote}}, {"chftn", {Kw::Chftn}},
    {"pn", {Kw::Pn}}, {"pntxtb", {Kw::PnTextBefore}}, {"pntxta", {Kw::PnTextAfter}},
    {"ftnalt", {Kw::FtnAlt}},
    {"ftnnar", {Kw::NoteFormat, ListMarker::Decimal}},
    {"ftnnalc", {Kw::NoteFormat, ListMarker::LowerLetter}},
    {"ftnnauc", {Kw::NoteFormat, ListMarker::UpperLetter}},
    {"ftnnrlc", {Kw::NoteFormat, ListMarker::LowerRoman}},
    {"ftnnruc", {Kw::NoteFormat, ListMarker::UpperRoman}},
    {"aftnnar", {Kw::NoteFormat, kEndnoteFlag | ListMarker::Decimal}},
    {"aftnnalc", {Kw::NoteFormat, kEndnoteFlag | ListMarker::LowerLetter}},
    {"aftnnauc", {Kw::NoteFormat, kEndnoteFlag | ListMarker::UpperLetter}},
    {"aftnnrlc", {Kw::NoteFormat, kEndnoteFlag | ListMarker::LowerRoman}},
    {"aftnnruc", {Kw::NoteFormat, kEndnoteFlag | ListMarker::UpperRoman}},
    {"ftnstart", {Kw::NoteStart, 0}}, {"aftnstart", {Kw::NoteStart, kEndnoteFlag}},
    // The list table and the paragraphs that use its lists.
    {"listtable", {Kw::ListTable}}, {"listoverridetable", {Kw::ListOverrideTable}},
    {"list", {Kw::List}}, {"listlevel", {Kw::ListLevel}}, {"listid", {Kw::ListId}},
    {"levelnfc", {Kw::LevelNfc}}, {"levelnfcn", {Kw::LevelNfc}},
    {"levelstartat", {Kw::LevelStart}}, {"leveltext", {Kw::LevelText}},
    {"levelfollow", {Kw::LevelFollow}}, {"listoverride", {Kw::ListOverride}},
    {"ls", {Kw::Ls}}, {"ilvl", {Kw::Ilvl}},

    {"ansi", {Kw::Ansi}}, {"ansicpg", {Kw::AnsiCpg}}, {"mac", {Kw::Mac}}, {"pc", {Kw::Pc}},
    {"pca", {Kw::Pca}}, {"deff", {Kw::Deff}}, {"deftab", {Kw::DefTab}},

    {"f", {Kw::F}}, {"fcharset", {Kw::FCharset}}, {"cpg", {Kw::Cpg}}, {"fprq", {Kw::Fprq}},
    {"fnil", {Kw::FFamily, QFont::AnyStyle}}, {"froman", {Kw::FFamily, QFont::Serif}},
    {"fswiss", {Kw::FFamily, QFont::SansSerif}}, {"fmodern", {Kw::FFamily, QFont::TypeWriter}},
    {"fscript", {Kw::FFamily, QFont::Cursive}}, {"fdecor", {Kw::FFamily, QFont::Decorative}},
    {"ftech", {Kw::FFamily, QFont::AnyStyle}}, {"fbidi", {Kw::FFamily, QFont::AnyStyle}},

    {"red", {Kw::Red}}, {"green", {Kw::Green}}, {"blue", {Kw::Blue}},

    {"plain", {Kw::Plain}}, {"b", {Kw::B}}, {"i", {Kw::I}}, {"ul", {Kw::Ul}},
    {"ulnone", {Kw::UlNone}},
    {"uldb", {Kw::UlStyle, QTextCharFormat::SingleUnderline}},
    {"ulth", {Kw::UlStyle, QTextCharFormat::SingleUnderline}},
    {"ulw", {Kw::UlStyle, QTextCharFormat::SingleUnderline}},
    {"uld", {Kw::UlStyle, QTextCharFormat::DotLine}},
    {"ulthd", {Kw::UlStyle, QTextCharFormat::DotLine}},
    {"uldash", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"uldashd", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"uldashdd", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulldash", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulthdash", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulthdashd", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulthdashdd", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulthldash", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulwave", {Kw::UlStyle, QTextCharFormat::WaveUnderline}},
    {"ulhwave", {Kw::UlStyle, QTextCharFormat::WaveUnderline}},
    {"ululdbwave", {Kw::UlStyle, QTextCharFormat::WaveUnderline}},
    {"strike", {Kw::Strike}}, {"striked", {Kw::Strike}}, {"fs", {Kw::Fs}}, {"cf", {Kw::Cf}},
    {"cb", {Kw::Cb}}, {"chcbpat", {Kw::Cb}}, {"highlight", {Kw::Highlight}}, {"v", {Kw::V}},
    {"super", {Kw::Super}}, {"sub", {Kw::Sub}}, {"nosupersub", {Kw::NoSuperSub}},
    {"up", {Kw::Up}}, {"dn", {Kw::Dn}}, {"caps", {Kw::Caps}}, {"scaps", {Kw::SCaps}},

    {"pard", {Kw::Pard}}, {"ql", {Kw::Ql}}, {"qc", {Kw::Qc}}, {"qr", {Kw::Qr}}, {"qj", {Kw::Qj}},
    {"li", {Kw::Li}}, {"lin", {Kw::Li}}, {"ri", {Kw::Ri}}, {"rin", {Kw::Ri}}, {"fi", {Kw::Fi}},
    {"sb", {Kw::Sb}}, {"sa", {Kw::Sa}}, {"sl", {Kw::Sl}}, {"slmult", {Kw::SlMult}},
    {"tx", {Kw::Tx}}, {"tb", {Kw::Tx}},
    {"tqr", {Kw::TabKind, QTextOption::RightTab}}, {"tqc", {Kw::TabKind, QTextOption::CenterTab}},
    {"tqdec", {Kw::TabKind, QTextOption::DelimiterTab}},
    {"s", {Kw::Style}}, {"contextualspace", {Kw::Contextual}}, {"cbpat", {Kw::CbPat}},
    {"cfpat", {Kw::CfPat}}, {"shading", {Kw::Shading}}, {"intbl", {Kw::InTable}},
    {"itap", {Kw::Itap}},

    {"pnlvlblt", {Kw::PnKind, ListMarker::Bullet}}, {"pnlvlbody", {Kw::PnKind, ListMarker::Number}},
    {"pnlvlcont", {Kw::PnKind, ListMarker::Continue}}, {"pnlvl", {Kw::PnLevel}},
    {"pndec", {Kw::PnStyle, ListMarker::Decimal}}, {"pnucrm", {Kw::PnStyle, ListMarker::UpperRoman}},
    {"pnlcrm", {Kw::PnStyle, ListMarker::LowerRoman}},
    {"pnucltr", {Kw::PnStyle, ListMarker::UpperLetter}},
    {"pnlcltr", {Kw::PnStyle, ListMarker::LowerLetter}},
    {"pnstart", {Kw::PnStart}}, {"pnf", {Kw::PnFont}},

    {"trowd", {Kw::TRowD}}, {"trleft", {Kw::TrLeft}}, {"trgaph", {Kw::TrGaph}},
    {"trql", {Kw::TrAlign, Qt::AlignLeft}}, {"trqc", {Kw::TrAlign, Qt::AlignHCenter}},
    {"trqr", {Kw::TrAlign, Qt::AlignRight}},
    {"trbrdrt", {Kw::TrBorder, 0}}, {"trbrdrl", {Kw::TrBorder, 1}}, {"trbrdrb", {Kw::TrBorder, 2}},
    {"trbrdrr", {Kw::TrBorder, 3}}, {"trbrdrh", {Kw::TrBorder, 4}}, {"trbrdrv", {Kw::TrBorder, 5}},
    {"clbrdrt", {Kw::ClBorder, 0}}, {"clbrdrl", {Kw::ClBorder, 1}}, {"clbrdrb", {Kw::ClBorder, 2}},
    {"clbrdrr", {Kw::ClBorder, 3}},
    {"brdrs", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Solid}},
    {"brdrth", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Solid}},
    {"brdrsh", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Solid}},
    {"brdrdb", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Double}},
    {"brdrdot", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Dotted}},
    {"brdrdash", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Dashed}},
    {"brdrdashsm", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Dashed}},
    {"brdrdashd", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_DotDash}},
    {"brdrdashdd", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_DotDotDash}},
    {"brdrinset", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Inset}},
    {"brdroutset", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Outset}},
    {"brdrengrave", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Groove}},
    {"brdremboss", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Ridge}},
    {"brdrtriple", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_Double}},
    {"brdrnone", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_None}},
    {"brdrnil", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_None}},
    {"brdrtbl", {Kw::BrdrStyle, QTextFrameFormat::BorderStyle_None}},
    {"brdrw", {Kw::BrdrW}}, {"brdrcf", {Kw::BrdrCf}}, {"cellx", {Kw::CellX}},
    {"clvertalt", {Kw::ClVAlign, Qt::AlignTop}}, {"clvertalc", {Kw::ClVAlign, Qt::AlignVCenter}},
    {"clvertalb", {Kw::ClVAlign, Qt::AlignBottom}}, {"clcbpat", {Kw::ClCbPat}},
    {"clcfpat", {Kw::ClCfPat}}, {"clshdng", {Kw::ClShading}},
    {"clmgf", {Kw::ClMerge, 0}}, {"clmrg", {Kw::ClMerge, 1}}, {"clvmgf", {Kw::ClMerge, 2}},
    {"clvmrg", {Kw::ClMerge, 3}},

    {"par", {Kw::Par}}, {"sect", {Kw::Par}}, {"page", {Kw::Par}}, {"line", {Kw::Line}},
    {"tab", {Kw::Tab}}, {"cell", {Kw::Cell}}, {"nestcell", {Kw::NestCell}}, {"row", {Kw::Row}},
    {"nestrow", {Kw::NestRow}},
    {"emdash", {Kw::Char, 0x2014}}, {"endash", {Kw::Char, 0x2013}},
    {"emspace", {Kw::Char, 0x2003}}, {"enspace", {Kw::Char, 0x2002}},
    {"qmspace", {Kw::Char, 0x2005}}, {"bullet", {Kw::Char, 0x2022}},
    {"lquote", {Kw::Char, 0x2018}}, {"rquote", {Kw::Char, 0x2019}},
    {"ldblquote", {Kw::Char, 0x201C}}, {"rdblquote", {Kw::Char, 0x201D}},
    {"zwbo", {Kw::Char, 0x200B}}, {"zwnj", {Kw::Char, 0x200C}}, {"zwj", {Kw::Char, 0x200D}},
    {"ltrmark", {Kw::Char, 0x200E}}, {"rtlmark", {Kw::Char, 0x200F}},
    {"u", {Kw::U}}, {"uc", {Kw::Uc}}, {"bin", {Kw::Bin}},
};

// Destinations whose content is not text: metadata, pictures, objects, headers and footers,
// comments, tables of styles and lists, XML and theme data, drawings and the pictures a shape
// leaves for readers that know no shapes.
const char *const kSkippedDestinations[] = {
    "info", "stylesheet", "pict", "header", "headerl", "headerr", "headerf", "footer", "footerl",
    "footerr", "footerf", "object", "objdata", "objclass", "objname", "themedata",
    "colorschememapping", "latentstyles", "datastore", "xmlnstbl", "rsidtbl", "generator", "filetbl", "revtbl", "pgdsctbl", "xe", "tc",
    "tcn", "rxe", "bxe", "txe", "pxe", "annotation", "atnid", "atnauthor", "atndate", "atnref",
    "atnparent", "atnicn", "atrfstart", "atrfend", "author", "operator", "title", "subject",
    "keywords", "comment", "doccomm", "company", "category", "manager", "hlinkbase", "buptim",
    "creatim", "printim", "revtim", "template", "userprops", "docvar", "private", "fchars",
    "lchars", "background", "shprslt", "shppict", "nonshppict", "do",
    "bkmkstart", "bkmkend", "ftnsep", "ftnsepc", "ftncn", "aftnsep",
    "aftnsepc", "aftncn", "mmathPr", "wgrffmtfilter", "passwordhash", "protusertbl",
    "nonesttables", "falt", "panose", "fname", "fontemb", "fontfile", "pgptbl", "listpicture",
    "blipuid", "sv", "sn", "sp", "macpict", "xmlopen", "xmlclose", "xmlattrname",
    "xmlattrvalue", "oleclsid", "factoidname", "mmath", "datafield", "formfield", "ffname",
    "ffdeftext", "ffformat", "ffhelptext", "ffstattext", "ffentrymcr", "ffexitmcr", "ffl",
    "docfmt", "pgdsc", "levelnumbers", "listname", "tcelld",
};
// clang-format on

} // namespace

const KwInfo *findKeyword(std::string_view word)
{
    static const std::unordered_map<std::string_view, KwInfo> table = [] {
        std::unordered_map<std::string_view, KwInfo> t;
        for (const char *name : kSkippedDestinations)
            t.emplace(name, KwInfo{Kw::SkipDest});
        for (const KwEntry &entry : kKeywords)
            t.emplace(entry.name, entry.info);
        return t;
    }();
    const auto it = table.find(word);
    return it == table.end() ? nullptr : &it->second;
}

// clang-format off
bool applyFormatWord(CharState &chr, ParaState &para, const KwInfo &info, bool hasParam,
                     long long param)
{
    const bool on = !hasParam || param != 0;
    switch (info.kw) {
        case Kw::F: chr.font = clampInt(param, 0, kMaxParam); break;
        case Kw::Plain: {
            const int link = chr.link; // \plain inside a link's text keeps the link
            chr = CharState();
            chr.link = link;
            break;
        }
        case Kw::B: chr.bold = on; break;
        case Kw::I: chr.italic = on; break;
        case Kw::Ul: chr.underline = on ? QTextCharFormat::SingleUnderline : QTextCharFormat::NoUnderline; break;
        case Kw::UlStyle: chr.underline = on ? info.value : QTextCharFormat::NoUnderline; break;
        case Kw::UlNone: chr.underline = QTextCharFormat::NoUnderline; break;
        case Kw::Strike: chr.strike = on; break;
        case Kw::Fs: chr.size = (hasParam && param > 0) ? clampInt(param, 4, 3276) : 24; break;
        case Kw::Cf: chr.fg = clampInt(param, 0, kMaxColors); break;
        case Kw::Cb: chr.cb = clampInt(param, 0, kMaxColors); break;
        case Kw::Highlight: chr.hl = clampInt(param, 0, kMaxColors); break;
        case Kw::V: chr.hidden = on; break;
        case Kw::Super: chr.vertical = QTextCharFormat::AlignSuperScript; break;
        case Kw::Sub: chr.vertical = QTextCharFormat::AlignSubScript; break;
        case Kw::NoSuperSub: chr.vertical = QTextCharFormat::AlignNormal; break;
        case Kw::Up: chr.vertical = on ? QTextCharFormat::AlignSuperScript : QTextCharFormat::AlignNormal; break;
        case Kw::Dn: chr.vertical = on ? QTextCharFormat::AlignSubScript : QTextCharFormat::AlignNormal; break;
        case Kw::Caps: chr.caps = on ? QFont::AllUppercase : QFont::MixedCase; break;
        case Kw::SCaps: chr.caps = on ? QFont::SmallCaps : QFont::MixedCase; break;

        case Kw::Pard: para = ParaState(); break;
        case Kw::Ql: para.align = Qt::AlignLeft; break;
        case Kw::Qc: para.align = Qt::AlignHCenter; break;
        case Kw::Qr: para.align = Qt::AlignRight; break;
        case Kw::Qj: para.align = Qt::AlignJustify; break;
        case Kw::Li: para.li = clampInt(param, -kMaxTwips, kMaxTwips); break;
        case Kw::Ri: para.ri = clampInt(param, -kMaxTwips, kMaxTwips); break;
        case Kw::Fi: para.fi = clampInt(param, -kMaxTwips, kMaxTwips); break;
        case Kw::Sb: para.sb = clampInt(param, 0, kMaxTwips); break;
        case Kw::Sa: para.sa = clampInt(param, 0, kMaxTwips); break;
        case Kw::Sl: para.sl = clampInt(param, -kMaxTwips, kMaxTwips); break;
        case Kw::SlMult: para.slmult = on; break;
        case Kw::TabKind: para.nextTabType = static_cast<QTextOption::TabType>(info.value); break;
        case Kw::Tx:
            if (para.tabs.size() < kMaxTabStops) {
                const QChar delimiter = para.nextTabType == QTextOption::DelimiterTab ? QChar('.') : QChar();
                para.tabs.append(QTextOption::Tab(clampInt(param, 0, kMaxTwips) / kTwipsPerPixel,
                                                  para.nextTabType, delimiter));
            }
            para.nextTabType = QTextOption::LeftTab;
            break;
        case Kw::Style: para.style = clampInt(param, 0, kMaxParam); break;
        case Kw::Contextual: para.contextual = on; break;
        case Kw::CbPat: para.cbpat = clampInt(param, 0, kMaxColors); break;
        case Kw::CfPat: para.cfpat = clampInt(param, 0, kMaxColors); break;
        case Kw::Shading: para.shading = clampInt(param, 0, 10000); break;
        case Kw::InTable: para.itap = std::max(para.itap, 1); break;
        case Kw::Itap: para.itap = clampInt(param, 0, kMaxTableDepth); break;
        case Kw::Ls: para.list = clampInt(param, 0, kMaxParam); break;
        case Kw::Ilvl: para.listLevel = clampInt(param, 0, 8); break;

    default:
        return false;
    }
    return true;
}
// clang-format on

} // namespace platform::rtf
