// Reading RTF control words and control symbols: each changes the state of the current group,
// chooses the destination its group reads into, or describes an entry of the font, colour and
// list tables the document declares.
#include "rtf/RtfParserState.h"

#include <cctype>

namespace platform::rtf {

// A \levelnfc value: how a list level writes its number.
void levelNumbering(ListLevelDef &level, long long nfc)
{
    level.bullet = nfc == 23;
    level.none = nfc == 255;
    switch (nfc) {
    case 1:
        level.style = ListMarker::UpperRoman;
        break;
    case 2:
        level.style = ListMarker::LowerRoman;
        break;
    case 3:
        level.style = ListMarker::UpperLetter;
        break;
    case 4:
        level.style = ListMarker::LowerLetter;
        break;
    default:
        level.style = ListMarker::Decimal;
        break;
    }
}

void Parser::commitFont()
{
    if (!m_fontBuild.active)
        return;
    m_fontBuild.active = false;
    if (m_tables.fonts.size() >= kMaxFonts && !m_tables.fonts.contains(m_fontBuild.number))
        return;
    FontEntry entry;
    entry.name = m_fontBuild.name.trimmed();
    entry.codePage = fontCodePage(m_fontBuild.codePage, entry.name);
    entry.hint = m_fontBuild.hint;
    entry.fixedPitch = m_fontBuild.fixedPitch;
    m_tables.fonts.insert(m_fontBuild.number, entry);
}

void Parser::commitColor()
{
    if (static_cast<int>(m_tables.colors.size()) < kMaxColors)
        m_tables.colors.push_back(
            m_colorBuild.any ? QColor(m_colorBuild.r, m_colorBuild.g, m_colorBuild.b) : QColor());
    m_colorBuild = ColorBuild();
}

void Parser::controlSequence()
{
    if (m_p >= m_end)
        return;
    const char c = *m_p;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        controlWord();
        return;
    }
    ++m_p;
    if (c == '\'') {
        int value = 0;
        int digits = 0;
        while (digits < 2 && m_p < m_end) {
            const int d = hexValue(*m_p);
            if (d < 0)
                break;
            value = value * 16 + d;
            ++digits;
            ++m_p;
        }
        if (digits > 0)
            byte(static_cast<unsigned char>(value));
        return;
    }
    if (c == '\\' || c == '{' || c == '}') {
        byte(static_cast<unsigned char>(c));
        return;
    }
    m_skipTrail = false;
    if (m_fallbackToSkip > 0) {
        --m_fallbackToSkip;
        return;
    }
    switch (c) {
    case '~':
        emitChar(0x00A0);
        break;
    case '_':
        emitChar(0x2011);
        break;
    case '-':
        break; // optional hyphen: shown only where a line breaks, so not here
    case '*':
        if (m_overflow == 0)
            state().starred = true;
        else
            m_overflowStarred = true;
        break;
    case '\r':
    case '\n':
        paragraphBreak();
        break;
    case '\t':
        emitChar('\t');
        break;
    default:
        break; // \: \| and unknown symbols
    }
}

void Parser::controlWord()
{
    char name[33];
    int length = 0;
    while (m_p < m_end && ((*m_p >= 'a' && *m_p <= 'z') || (*m_p >= 'A' && *m_p <= 'Z'))) {
        if (length < 32)
            name[length] = *m_p;
        ++length;
        ++m_p;
    }
    const bool tooLong = length > 32;
    length = std::min(length, 32);
    bool hasParam = false;
    long long param = 0;
    bool negative = false;
    if (m_p + 1 < m_end && *m_p == '-' && m_p[1] >= '0' && m_p[1] <= '9') {
        negative = true;
        ++m_p;
    }
    while (m_p < m_end && *m_p >= '0' && *m_p <= '9') {
        hasParam = true;
        if (param < kMaxParam)
            param = param * 10 + (*m_p - '0');
        ++m_p;
    }
    param = std::min<long long>(param, kMaxParam);
    if (negative)
        param = -param;
    if (m_p < m_end && *m_p == ' ')
        ++m_p;
    if (tooLong)
        return;

    const KwInfo *info = findKeyword(std::string_view(name, static_cast<size_t>(length)));
    if (info && info->kw == Kw::Bin) {
        // Binary data is skipped whole, whatever the destination.
        const long long n = hasParam ? std::max<long long>(0, param) : 0;
        m_p += std::min<long long>(n, m_end - m_p);
        return;
    }
    flushBytes();
    m_skipTrail = false;
    if (m_fallbackToSkip > 0) {
        --m_fallbackToSkip;
        return;
    }
    const bool starred = m_overflow == 0 ? state().starred : m_overflowStarred;
    state().starred = false;
    m_overflowStarred = false;
    // The Unicode part of an \upr group is read where the group stands.
    if (info && info->kw == Kw::Ud && m_overflow == 0 && m_overflowSkip == 0 &&
        m_stack.size() >= 2 && m_stack[m_stack.size() - 2].upr) {
        state().dest = m_stack[m_stack.size() - 2].uprBase;
        return;
    }
    if (skipping())
        return;
    // \* marks a destination a reader may not know: one it knows is read all the same.
    if (!info) {
        if (starred)
            setDest(Dest::Skip);
        return;
    }
    apply(*info, hasParam, param);
}

// clang-format off
void Parser::apply(const KwInfo &info, bool hasParam, long long param)
{
    GroupState &st = state();
    CharState &chr = st.chr;
    ParaState &para = st.para;

    // Inside the tables a few keywords describe the entry; everything else is ignored.
    if (st.dest == Dest::FontTable) {
        switch (info.kw) {
        case Kw::F:
            commitFont();
            m_fontBuild = FontBuild();
            m_fontBuild.active = true;
            m_fontBuild.number = clampInt(param, 0, kMaxParam);
            return;
        case Kw::FCharset:
            if (!m_fontBuild.explicitCodePage)
                m_fontBuild.codePage =
                    param >= 0 && param <= 255 ? codePageOfCharset(static_cast<int>(param)) : 0;
            return;
        case Kw::Cpg:
            if (param > 0 && param < 100000) {
                m_fontBuild.codePage = static_cast<int>(param);
                m_fontBuild.explicitCodePage = true;
            }
            return;
        case Kw::FFamily: m_fontBuild.hint = static_cast<QFont::StyleHint>(info.value); return;
        case Kw::Fprq: m_fontBuild.fixedPitch = param == 1; return;
        case Kw::SkipDest: setDest(Dest::Skip); return;
        case Kw::U: unicode(param); return;
        case Kw::Uc: st.uc = clampInt(param, 0, 16); return;
        default: return;
        }
    }
    if (st.dest == Dest::ColorTable) {
        switch (info.kw) {
        case Kw::Red: m_colorBuild.r = clampInt(param, 0, 255); m_colorBuild.any = true; return;
        case Kw::Green: m_colorBuild.g = clampInt(param, 0, 255); m_colorBuild.any = true; return;
        case Kw::Blue: m_colorBuild.b = clampInt(param, 0, 255); m_colorBuild.any = true; return;
        case Kw::SkipDest: setDest(Dest::Skip); return;
        default: return;
        }
    }
    if (st.dest == Dest::ListTable) {
        switch (info.kw) {
        case Kw::List:
            if (m_lists.size() < kMaxLists)
                m_lists.emplace_back();
            else
                setDest(Dest::Skip);
            return;
        case Kw::ListId:
            if (!m_lists.empty())
                m_lists.back().id = clampInt(param, -kMaxParam, kMaxParam);
            return;
        case Kw::ListLevel:
            if (!m_lists.empty() && m_lists.back().levels.size() < 9)
                m_lists.back().levels.emplace_back();
            else
                setDest(Dest::Skip);
            return;
        case Kw::LevelText:
            if (!m_lists.empty() && !m_lists.back().levels.empty())
                m_lists.back().levels.back().text.clear();
            setDest(Dest::LevelText);
            return;
        case Kw::LevelNfc: case Kw::LevelStart: case Kw::LevelFollow: case Kw::F:
            if (!m_lists.empty() && !m_lists.back().levels.empty()) {
                ListLevelDef &level = m_lists.back().levels.back();
                if (info.kw == Kw::LevelStart)
                    level.start = clampInt(param, 0, 32767);
                else if (info.kw == Kw::LevelFollow)
                    level.follow = clampInt(param, 0, 2);
                else if (info.kw == Kw::F)
                    level.font = clampInt(param, 0, kMaxParam);
                else
                    levelNumbering(level, param);
            }
            return;
        case Kw::SkipDest: setDest(Dest::Skip); return;
        default: return;
        }
    }
    if (st.dest == Dest::LevelText) {
        switch (info.kw) {
        case Kw::U: unicode(param); return;
        case Kw::Uc: st.uc = clampInt(param, 0, 16); return;
        case Kw::SkipDest: setDest(Dest::Skip); return;
        default: return;
        }
    }
    if (st.dest == Dest::Overrides) {
        switch (info.kw) {
        case Kw::ListOverride: m_overrideList = 0; return;
        case Kw::ListId: m_overrideList = clampInt(param, -kMaxParam, kMaxParam); return;
        case Kw::Ls:
            if (m_overrides.size() < kMaxLists)
                m_overrides.insert(clampInt(param, 0, kMaxParam), m_overrideList);
            return;
        case Kw::ListLevel: case Kw::SkipDest: setDest(Dest::Skip); return;
        default: return;
        }
    }
    if (st.dest == Dest::Pn) {
        ListMarker &m = m_pnBuild;
        switch (info.kw) {
        case Kw::PnKind: m.kind = static_cast<ListMarker::Kind>(info.value); return;
        case Kw::PnLevel: m.kind = ListMarker::Number; m.level = clampInt(param, 1, 9); return;
        case Kw::PnStyle: m.style = static_cast<ListMarker::Style>(info.value); return;
        case Kw::PnStart: m.start = clampInt(param, 0, 32767); return;
        case Kw::PnFont:
            m.font = clampInt(param, 0, kMaxParam);
            chr.font = m.font; // the marker's text is in this font's code page
            return;
        case Kw::PnTextBefore: m.before.clear(); setDest(Dest::PnBefore); return;
        case Kw::PnTextAfter: m.after.clear(); setDest(Dest::PnAfter); return;
        case Kw::U: unicode(param); return;
        case Kw::Uc: st.uc = clampInt(param, 0, 16); return;
        case Kw::SkipDest: setDest(Dest::Skip); return;
        default: return;
        }
    }

    switch (info.kw) {
    case Kw::SkipDest: setDest(Dest::Skip); break;
    case Kw::FontTable: m_fontBuild = FontBuild(); setDest(Dest::FontTable); break;
    case Kw::ColorTable: m_colorBuild = ColorBuild(); setDest(Dest::ColorTable); break;
    case Kw::Field:
        if (m_overflow == 0 && static_cast<int>(m_tables.fields.size()) < kMaxFields) {
            st.field = static_cast<int>(m_tables.fields.size());
            st.fieldOwner = true;
            st.result = false;
            m_tables.fields.emplace_back();
        }
        break;
    case Kw::FldInst: setDest(st.field >= 0 ? Dest::FieldInst : Dest::Skip); break;
    case Kw::FldRslt:
        setDest(Dest::Text);
        st.result = true;
        if (m_overflow == 0 && st.field >= 0) {
            Field &field = m_tables.fields[st.field];
            field.href = hyperlinkTarget(field.instruction);
            if (!field.href.isEmpty())
                chr.link = st.field;
        }
        break;
    case Kw::TextDest: setDest(Dest::Text); break;
    case Kw::MarkerText:
        setDest(Dest::Text);
        if (m_overflow == 0)
            st.marker = true;
        m_paraHasMarker = true;
        break;
    case Kw::Container: break;
    case Kw::Upr:
        if (m_overflow == 0) {
            st.upr = true;
            st.uprBase = st.dest;
        }
        setDest(Dest::Skip);
        break;
    case Kw::Ud: setDest(Dest::Skip); break; // \ud outside an \upr group
    case Kw::Footnote:
        if (m_overflow == 0) {
            st.footnote = st.footnoteOwner = true;
            st.para = ParaState();
        } else {
            setDest(Dest::Skip);
        }
        break;
    case Kw::Chftn: {
        // The mark in the text numbers the footnote or endnote, each kind counted on its
        // own; the one in the note repeats it.
        bool endnote = st.endnote;
        if (!st.footnote) {
            endnote = nextNoteIsEndnote();
            ++(endnote ? m_endnoteNumber : m_footnoteNumber);
        }
        flushBytes();
        emitText(noteNumber(endnote));
        break;
    }
    case Kw::Pn:
        if (m_overflow == 0) {
            st.pnOwner = true;
            m_pnBuild = ListMarker();
            m_pnBuild.kind = ListMarker::Number;
        }
        setDest(m_overflow == 0 ? Dest::Pn : Dest::Skip);
        break;
    case Kw::PnKind: case Kw::PnLevel: case Kw::PnStyle: case Kw::PnStart: case Kw::PnFont:
        break; // outside a \pn group these mean nothing
    case Kw::PnTextBefore: case Kw::PnTextAfter:
        setDest(Dest::Skip); // nor is their text any of the document's (\pnseclvl has some)
        break;
    case Kw::FtnAlt:
        if (st.footnote)
            st.endnote = true;
        break;
    case Kw::NoteFormat:
        ((info.value & kEndnoteFlag) ? m_endnoteStyle : m_footnoteStyle) =
            static_cast<ListMarker::Style>(info.value & ~kEndnoteFlag);
        break;
    case Kw::NoteStart:
        ((info.value & kEndnoteFlag) ? m_endnoteNumber : m_footnoteNumber) =
            clampInt(param, 1, 32767) - 1;
        break;
    case Kw::ListTable: setDest(m_overflow == 0 ? Dest::ListTable : Dest::Skip); break;
    case Kw::ListOverrideTable: setDest(m_overflow == 0 ? Dest::Overrides : Dest::Skip); break;
    case Kw::List: case Kw::ListLevel: case Kw::LevelText: case Kw::ListOverride:
        setDest(Dest::Skip); // outside their tables
        break;
    case Kw::ListId: case Kw::LevelNfc: case Kw::LevelStart: case Kw::LevelFollow:
        break;

    case Kw::Ansi: m_ansiCodePage = 1252; break;
    case Kw::AnsiCpg:
        if (param > 0 && param < 100000)
            m_ansiCodePage = static_cast<int>(param);
        break;
    case Kw::Mac: m_ansiCodePage = 10000; break;
    case Kw::Pc: m_ansiCodePage = 437; break;
    case Kw::Pca: m_ansiCodePage = 850; break;
    case Kw::Deff: m_tables.defaultFont = clampInt(param, 0, kMaxParam); break;
    case Kw::DefTab:
        if (param > 0)
            m_builder.setDefaultTabStop(clampInt(param, 15, kMaxTwips));
        break;

    case Kw::TRowD:
        // A row definition without \intbl still makes the paragraphs up to \row its cells.
        para.itap = std::max(para.itap, 1);
        rowDef() = RowDef();
        break;
    case Kw::Par: paragraphBreak(); break;
    case Kw::Line: emitChar(QChar::LineSeparator); break;
    case Kw::Tab: emitChar('\t'); break;
    case Kw::Cell: cell(false); break;
    case Kw::NestCell: cell(true); break;
    case Kw::Row: row(false); break;
    case Kw::NestRow: row(true); break;
    case Kw::Char: emitChar(static_cast<char32_t>(info.value)); break;
    case Kw::U: unicode(param); break;
    case Kw::Uc: st.uc = clampInt(param, 0, 16); break;

    default:
        if (!applyFormatWord(chr, para, info, hasParam, param))
            applyTableWord(rowDef(), m_border, info, param);
        break;
    }
}
// clang-format on

} // namespace platform::rtf
