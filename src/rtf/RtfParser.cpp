// Reading RTF: a single pass over the bytes with an explicit stack of group states, so deep
// nesting cannot exhaust the call stack. Control words change the state of the current group or
// the tables of fonts, colours and fields; text goes to the DocumentBuilder (RtfReader.cpp) in
// the formatting of its group.
#include "rtf/RtfParserState.h"

namespace platform::rtf {

void Parser::run()
{
    skipLeadingBlanks();
    m_builder.begin();
    while (m_p < m_end && !m_done) {
        const char c = *m_p;
        if (c == '{') {
            ++m_p;
            openGroup();
        } else if (c == '}') {
            ++m_p;
            closeGroup();
        } else if (c == '\\') {
            ++m_p;
            controlSequence();
        } else {
            text();
        }
    }
    flushBytes();
    appendFootnotes();
    m_builder.finish();
}

void Parser::skipLeadingBlanks()
{
    if (m_end - m_p >= 3 && static_cast<unsigned char>(m_p[0]) == 0xEF &&
        static_cast<unsigned char>(m_p[1]) == 0xBB && static_cast<unsigned char>(m_p[2]) == 0xBF)
        m_p += 3;
    while (m_p < m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\r' || *m_p == '\n'))
        ++m_p;
}

void Parser::openGroup()
{
    flushBytes();
    m_fallbackToSkip = 0;
    m_skipTrail = false;
    if (m_overflow > 0 || static_cast<int>(m_stack.size()) >= kMaxGroupDepth) {
        ++m_overflow;
        return;
    }
    GroupState copy = m_stack.back();
    copy.starred = false;
    copy.fieldOwner = copy.upr = copy.pnOwner = copy.footnoteOwner = false;
    m_stack.push_back(std::move(copy));
}

void Parser::closeGroup()
{
    flushBytes();
    m_fallbackToSkip = 0;
    m_skipTrail = false;
    if (m_overflow > 0) {
        if (m_overflowSkip == m_overflow)
            m_overflowSkip = 0;
        --m_overflow;
        return;
    }
    // An unbalanced '}' at the bottom closes nothing; reading goes on with the base state.
    if (m_stack.size() <= 1)
        return;
    const GroupState closing = std::move(m_stack.back());
    if (closing.dest == Dest::FontTable)
        commitFont();
    m_stack.pop_back();
    // The document is the first group: what follows its closing brace is not part of it.
    if (m_stack.size() == 1) {
        m_done = true;
        return;
    }
    if (closing.pnOwner && !skipping())
        state().para.marker = m_pnBuild;
    if (closing.footnoteOwner) {
        std::vector<NoteEvent> &notes = closing.endnote ? m_endnotes : m_notes;
        if (!notes.empty() && !notes.back().text.isEmpty())
            notes.push_back(NoteEvent{QString(), closing.chr, ParaState()});
    }
    if (closing.fieldOwner && closing.field >= 0) {
        const Field &field = m_tables.fields[closing.field];
        if (!field.hasResult && !skipping()) {
            const QString symbol = symbolFieldText(field.instruction, m_ansiCodePage, m_decoder);
            if (!symbol.isEmpty())
                emitText(symbol);
        }
    }
}

// A destination keyword: in a pushed group it scopes to that group; in groups beyond the
// depth limit only skipping can be scoped, by remembering the brace level it began at.
void Parser::setDest(Dest dest)
{
    if (m_overflow > 0) {
        if (dest == Dest::Skip && m_overflowSkip == 0)
            m_overflowSkip = m_overflow;
        return;
    }
    state().dest = dest;
}

bool Parser::readsBytes(Dest dest) const
{
    return dest == Dest::Text || dest == Dest::FieldInst || dest == Dest::PnBefore ||
           dest == Dest::PnAfter;
}

void Parser::text()
{
    const char c = *m_p;
    if (c == '\r' || c == '\n') {
        ++m_p;
        return;
    }
    if (skipping()) {
        while (m_p < m_end && *m_p != '{' && *m_p != '}' && *m_p != '\\')
            ++m_p;
        return;
    }
    if (m_fallbackToSkip == 0 && !m_skipTrail && readsBytes(state().dest)) {
        const char *start = m_p;
        while (m_p < m_end) {
            const auto b = static_cast<unsigned char>(*m_p);
            if (b < 0x20 || b == '{' || b == '}' || b == '\\')
                break;
            ++m_p;
        }
        if (m_p > start) {
            m_bytes.append(start, m_p - start);
            return;
        }
    }
    ++m_p;
    byte(static_cast<unsigned char>(c));
}

// One byte of text in the current code page (a literal byte or an \'hh escape).
void Parser::byte(unsigned char b)
{
    if (m_skipTrail) {
        // The second byte of a two-byte character whose first byte was a fallback; it
        // counts as one of the fallback bytes when \uc allows for it.
        m_skipTrail = false;
        if (m_fallbackToSkip > 0)
            --m_fallbackToSkip;
        return;
    }
    if (m_fallbackToSkip > 0) {
        --m_fallbackToSkip;
        m_skipTrail = isLeadByte(currentCodePage(), b);
        return;
    }
    if (skipping())
        return;
    if (state().dest == Dest::LevelText) {
        levelTextChar(b); // placeholders are bytes 0..8
        return;
    }
    if (b < 0x20 && b != '\t')
        return;
    const Dest dest = state().dest;
    if (b == ';' && (dest == Dest::FontTable || dest == Dest::ColorTable)) {
        flushBytes();
        if (dest == Dest::FontTable)
            commitFont();
        else
            commitColor();
        return;
    }
    if (dest == Dest::ColorTable || dest == Dest::Pn || dest == Dest::ListTable ||
        dest == Dest::Overrides)
        return;
    m_bytes.append(static_cast<char>(b));
}

int Parser::fontCodePageOf(int font) const
{
    const auto it = m_tables.fonts.constFind(font < 0 ? m_tables.defaultFont : font);
    return it == m_tables.fonts.constEnd() ? 0 : it->codePage;
}

int Parser::currentCodePage() const
{
    const GroupState &s = m_stack.back();
    int codePage = fontCodePageOf(s.chr.font);
    if (s.dest == Dest::FontTable) {
        // A font's name is in its character set, except a symbol font's, which is ANSI.
        codePage = m_fontBuild.codePage < 0 ? 0 : m_fontBuild.codePage;
    }
    return codePage == 0 ? m_ansiCodePage : codePage;
}

void Parser::flushBytes()
{
    if (m_bytes.isEmpty())
        return;
    const QString decoded = m_decoder.decode(m_bytes, currentCodePage());
    m_bytes.clear();
    emitText(decoded);
}

// Characters for the current destination.
void Parser::emitText(const QString &s)
{
    if (m_highSurrogate) {
        m_highSurrogate = 0;
        emitText(QString(QChar(QChar::ReplacementCharacter)));
    }
    GroupState &st = state();
    switch (st.dest) {
    case Dest::Text:
        if (st.chr.hidden)
            return;
        if (st.field >= 0 && st.result)
            m_tables.fields[st.field].hasResult = true;
        if (st.footnote) {
            ParaState para = st.para;
            para.itap = 0;
            (st.endnote ? m_endnotes : m_notes).push_back(NoteEvent{s, st.chr, para});
            return;
        }
        if (st.marker)
            m_paraHasMarker = true;
        else
            listMarker(st);
        m_builder.text(s, st.chr, st.para);
        m_paraHasText = true;
        break;
    case Dest::FontTable:
        if (m_fontBuild.name.size() < kMaxFontName)
            m_fontBuild.name += s;
        break;
    case Dest::FieldInst:
        if (st.field >= 0 && m_tables.fields[st.field].instruction.size() < kMaxFieldInstruction)
            m_tables.fields[st.field].instruction += s;
        break;
    case Dest::PnBefore:
        if (m_pnBuild.before.size() < kMaxFontName)
            m_pnBuild.before += s;
        break;
    case Dest::PnAfter:
        if (m_pnBuild.after.size() < kMaxFontName)
            m_pnBuild.after += s;
        break;
    case Dest::LevelText:
        for (QChar ch : s)
            levelTextChar(ch.unicode());
        break;
    case Dest::ColorTable:
    case Dest::Skip:
    case Dest::Pn:
    case Dest::ListTable:
    case Dest::Overrides:
        break;
    }
}

// A paragraph numbered by a \pn definition alone, without the \pntext a writer adds for
// readers that know no numbering, gets its number or bullet made here.
void Parser::listMarker(const GroupState &st)
{
    if (m_paraHasMarker || m_paraHasText)
        return;
    m_paraHasMarker = true;
    if (st.para.list > 0 && listTableMarker(st))
        return;
    const ListMarker &m = st.para.marker;
    if (m.kind != ListMarker::Bullet && m.kind != ListMarker::Number) {
        m_lastNumberLevel = -1;
        return;
    }
    if (m.kind == ListMarker::Number) {
        m_listNumber = m_lastNumberLevel == m.level ? m_listNumber + 1 : m.start;
        m_lastNumberLevel = m.level;
    } else {
        m_lastNumberLevel = -1;
    }
    const QString marker = markerText(m, m_listNumber);
    CharState chr = st.chr;
    if (m.font >= 0)
        chr.font = m.font;
    m_builder.text(marker, chr, st.para);
}

// One character of a list level's \leveltext, kept as it is: the level's font, which
// decides what its bytes are, may follow the text.
void Parser::levelTextChar(char16_t ch)
{
    if (m_lists.empty() || m_lists.back().levels.empty())
        return;
    QString &text = m_lists.back().levels.back().text;
    if (text.size() < kMaxListText)
        text.append(QChar(ch));
}

// The marker of a paragraph of a list-table list (\ls, \ilvl), written out when the
// writer gave no \listtext: numbers counted per list and level, deeper levels starting
// over after a higher one. False when the list is not defined.
bool Parser::listTableMarker(const GroupState &st)
{
    const auto override = m_overrides.constFind(st.para.list);
    if (override == m_overrides.constEnd())
        return false;
    const ListDef *list = nullptr;
    for (const ListDef &l : m_lists) {
        if (l.id == *override)
            list = &l;
    }
    if (!list || list->levels.empty())
        return false;
    const int level = std::min<int>(st.para.listLevel, list->levels.size() - 1);
    const ListLevelDef &def = list->levels[level];
    m_lastNumberLevel = -1;
    std::array<int, 9> &counts = m_listCounts[st.para.list];
    counts[level] = counts[level] == 0 ? def.start : counts[level] + 1;
    for (int deeper = level + 1; deeper < 9; ++deeper)
        counts[deeper] = 0;
    if (def.none)
        return true;
    const int fontCodePage = fontCodePageOf(def.font >= 0 ? def.font : st.chr.font);
    const int codePage = fontCodePage == 0 ? m_ansiCodePage : fontCodePage;
    QString marker;
    const int length = def.text.isEmpty() ? 0 : def.text.at(0).unicode();
    for (int i = 1; i <= length && i < def.text.size(); ++i) {
        const char16_t ch = def.text.at(i).unicode();
        if (ch < 9) {
            // A placeholder: the number of that level.
            if (static_cast<size_t>(ch) < list->levels.size()) {
                const ListLevelDef &other = list->levels[ch];
                const int n = counts[ch] == 0 ? other.start : counts[ch];
                if (!other.bullet && !other.none)
                    marker += listNumber(n, other.style);
            }
        } else if (ch <= 0xFF) {
            marker += m_decoder.decode(QByteArray(1, static_cast<char>(ch)), codePage);
        } else {
            const char32_t mapped = symbolFontChar(codePage, ch);
            marker += QString::fromUcs4(&mapped, 1);
        }
    }
    if (marker.isEmpty() && def.bullet)
        marker = QString(QChar(0x2022));
    if (marker.isEmpty())
        return true;
    marker += def.follow == 0   ? QStringLiteral("\t")
              : def.follow == 1 ? QStringLiteral(" ")
                                : QString();
    CharState chr = st.chr;
    if (def.font >= 0)
        chr.font = def.font;
    m_builder.text(marker, chr, st.para);
    return true;
}

void Parser::emitChar(char32_t ch)
{
    flushBytes();
    if (skipping())
        return;
    emitText(QString::fromUcs4(&ch, 1));
}

void Parser::unicode(long long value)
{
    flushBytes();
    if (!skipping()) {
        if (value < 0)
            value += 65536;
        if (value >= 0xD800 && value <= 0xDBFF) {
            if (m_highSurrogate)
                emitText(QString(QChar(QChar::ReplacementCharacter)));
            m_highSurrogate = static_cast<char16_t>(value);
        } else if (value >= 0xDC00 && value <= 0xDFFF) {
            if (m_highSurrogate) {
                const QChar pair[2] = {QChar(m_highSurrogate), QChar(static_cast<char16_t>(value))};
                m_highSurrogate = 0;
                emitText(QString(pair, 2));
            } else {
                emitText(QString(QChar(QChar::ReplacementCharacter)));
            }
        } else if (value == '\t') {
            emitText(QStringLiteral("\t"));
        } else if (state().dest == Dest::LevelText && value > 0x1F && value <= 0xFFFF) {
            levelTextChar(static_cast<char16_t>(value));
        } else if (value > 0x1F && value <= 0x10FFFF) {
            const char32_t ch = symbolFontChar(currentCodePage(), static_cast<char32_t>(value));
            emitText(QString::fromUcs4(&ch, 1));
        } else if (value > 0x10FFFF || value < 0) {
            emitText(QString(QChar(QChar::ReplacementCharacter)));
        }
    }
    m_fallbackToSkip = state().uc;
    m_skipTrail = false;
}

bool Parser::inBody()
{
    flushBytes();
    return !skipping() && state().dest == Dest::Text && !state().marker;
}

void Parser::newParagraph()
{
    m_paraHasMarker = false;
    m_paraHasText = false;
}

void Parser::paragraphBreak()
{
    if (!inBody())
        return;
    const GroupState &st = state();
    if (st.footnote) {
        (st.endnote ? m_endnotes : m_notes).push_back(NoteEvent{QString(), st.chr, ParaState()});
        return;
    }
    m_builder.paragraphBreak(st.chr, st.para);
    newParagraph();
}

void Parser::cell(bool nested)
{
    if (!inBody())
        return;
    const GroupState &st = state();
    if (st.footnote) {
        (st.endnote ? m_endnotes : m_notes)
            .push_back(NoteEvent{QStringLiteral("\t"), st.chr, ParaState()});
        return;
    }
    m_builder.cell(nested ? std::max(2, st.para.itap) : 1, st.chr, st.para);
    newParagraph();
}

void Parser::row(bool nested)
{
    if (!inBody() || state().footnote)
        return;
    const int depth = nested ? std::clamp(state().para.itap, 2, kMaxTableDepth) : 1;
    m_builder.row(depth, m_rowDefs[depth]);
    if (!nested)
        state().para.itap = 0;
    newParagraph();
}

// Footnotes go after the body, each in its own paragraphs, in the order they came; the
// endnotes after them.
void Parser::appendFootnotes()
{
    if (m_notes.empty() && m_endnotes.empty())
        return;
    const GroupState &st = m_stack.back();
    if (m_paraHasText)
        m_builder.paragraphBreak(st.chr, st.para);
    for (const std::vector<NoteEvent> *notes : {&m_notes, &m_endnotes}) {
        for (const NoteEvent &e : *notes) {
            if (e.text.isEmpty())
                m_builder.paragraphBreak(e.chr, e.para);
            else
                m_builder.text(e.text, e.chr, e.para);
        }
    }
}

// Whether the note that a mark in the body numbers is an endnote: the \footnote group
// right after the mark says \ftnalt among its first words.
bool Parser::nextNoteIsEndnote() const
{
    const std::string_view rest(
        m_p, static_cast<size_t>(std::min<std::ptrdiff_t>(m_end - m_p, kNoteLookahead)));
    size_t at = 0;
    while ((at = rest.find("\\footnote", at)) != std::string_view::npos) {
        at += 9;
        if (at < rest.size() && std::isalpha(static_cast<unsigned char>(rest[at])))
            continue;
        // The note's leading control words, up to its first text or group.
        while (at < rest.size()) {
            const char c = rest[at];
            if (c == ' ' || c == '\r' || c == '\n') {
                ++at;
            } else if (c == '\\') {
                size_t end = at + 1;
                while (end < rest.size() &&
                       (std::isalnum(static_cast<unsigned char>(rest[end])) || rest[end] == '-'))
                    ++end;
                if (rest.substr(at, end - at) == "\\ftnalt")
                    return true;
                if (end == at + 1)
                    return false;
                at = end;
            } else {
                return false;
            }
        }
        return false;
    }
    return false;
}

QString Parser::noteNumber(bool endnote) const
{
    const int n = std::max(1, endnote ? m_endnoteNumber : m_footnoteNumber);
    return listNumber(n, endnote ? m_endnoteStyle : m_footnoteStyle);
}

void parse(const QByteArray &data, QTextDocument *document)
{
    Parser(data, document).run();
}

} // namespace platform::rtf
