// Text rows of the aggregate and file-integrity exports, and the rename lines.
//
// The delimited formats put "|**|" after every value and end a row with
// "**|\n"; the enclosed one also starts the row with "|**|" and writes NULL
// as the text NULL. The tab format joins the values with tabs. No format
// escapes its values, so a value holding a separator cannot be told apart
// from two values: the column count of the row then differs and is reported.
#include "testserver/decoders/decoders.h"

#include <cstdlib>

namespace decoders {

namespace {

constexpr std::string_view kSeparator = "|**|";
constexpr std::string_view kDelimitedEnd = "**|\n";
constexpr std::string_view kDelimitedEndCrLf = "**|\r\n";

std::vector<std::string> splitOn(std::string_view text, std::string_view separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            parts.emplace_back(text.substr(start));
            return parts;
        }
        parts.emplace_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

// Splits one delimited row (without its "**|\n" end) into its values.
DecodeError splitDelimited(std::string_view body, std::uint64_t offset, RowFormat format,
                           std::vector<std::optional<std::string>>& values) {
    if (body.size() < kSeparator.size() || body.substr(body.size() - kSeparator.size()) != kSeparator)
        return decodeFailure(offset, "row does not end with \"|**|**|\"");
    body.remove_suffix(kSeparator.size());
    if (format == RowFormat::Enclosed) {
        if (body.substr(0, kSeparator.size()) != kSeparator)
            return decodeFailure(offset, "enclosed row does not start with \"|**|\"");
        body.remove_prefix(kSeparator.size());
    }
    for (std::string& part : splitOn(body, kSeparator)) {
        if (format == RowFormat::Enclosed && part == "NULL")
            values.emplace_back(std::nullopt);
        else
            values.emplace_back(std::move(part));
    }
    return {};
}

// Chooses the format from the first row: a row without "|**|" is a tab row;
// a delimited row whose separators outnumber the expected columns (or, when
// the count is not known, that starts with "|**|NULL|**|") is enclosed.
RowFormat detectFormat(std::string_view firstRow, std::size_t expectedColumns) {
    if (firstRow.find(kSeparator) == std::string_view::npos) return RowFormat::Tab;
    if (firstRow.substr(0, kSeparator.size()) != kSeparator) return RowFormat::Plain;
    if (expectedColumns == 0)
        return firstRow.substr(0, 12) == "|**|NULL|**|" ? RowFormat::Enclosed : RowFormat::Plain;
    std::size_t separators = 0;
    for (std::size_t at = firstRow.find(kSeparator); at != std::string_view::npos;
         at = firstRow.find(kSeparator, at + kSeparator.size()))
        ++separators;
    return separators > expectedColumns ? RowFormat::Enclosed : RowFormat::Plain;
}

}  // namespace

const char* rowFormatName(RowFormat format) {
    switch (format) {
        case RowFormat::Enclosed: return "enclosed";
        case RowFormat::Plain: return "plain";
        case RowFormat::Tab: return "tab";
    }
    return "enclosed";
}

std::optional<RowFormat> rowFormatFromName(std::string_view name) {
    if (name == "enclosed") return RowFormat::Enclosed;
    if (name == "plain") return RowFormat::Plain;
    if (name == "tab") return RowFormat::Tab;
    return std::nullopt;
}

DecodeError decodeRows(std::string_view text, std::optional<RowFormat> format,
                       std::size_t expectedColumns, std::vector<Row>& out, RowFormat& usedFormat) {
    if (!format) format = detectFormat(text.substr(0, text.find('\n')), expectedColumns);
    usedFormat = *format;
    const bool tab = *format == RowFormat::Tab;
    const std::string_view end = tab ? std::string_view("\n") : kDelimitedEnd;
    std::size_t columns = expectedColumns;
    std::size_t pos = 0;
    // The next place of each line end at or after pos, found again only once
    // pos has passed it: a text holding only one of the two kinds is then
    // searched once, not once a row.
    std::size_t nextEnd = text.find(end);
    std::size_t nextCrLf = tab ? std::string_view::npos : text.find(kDelimitedEndCrLf);
    while (pos < text.size()) {
        // The Windows agent writes its rows in text mode: each line ends in
        // CR LF there, in LF on Linux.
        if (nextEnd < pos) nextEnd = text.find(end, pos);
        std::size_t at = nextEnd;
        std::size_t endSize = end.size();
        if (!tab) {
            if (nextCrLf < pos) nextCrLf = text.find(kDelimitedEndCrLf, pos);
            if (nextCrLf < at) at = nextCrLf, endSize = kDelimitedEndCrLf.size();
        }
        if (at == std::string_view::npos)
            return decodeFailure(pos, tab ? "last row has no line end" : "last row does not end with \"**|\\n\"");
        std::string_view body = text.substr(pos, at - pos);
        if (tab && !body.empty() && body.back() == '\r') body.remove_suffix(1);
        Row row;
        row.offset = pos;
        if (tab) {
            std::vector<std::string> parts = splitOn(body, "\t");
            // The tab writer puts no tab after the first column, which every
            // export leaves NULL (empty): a row one short of the expected
            // count starts with that empty first column.
            if (expectedColumns != 0 && parts.size() + 1 == expectedColumns) row.values.emplace_back("");
            for (std::string& part : parts) row.values.emplace_back(std::move(part));
        } else {
            DecodeError e = splitDelimited(body, pos, *format, row.values);
            if (e) return e;
        }
        if (columns == 0) columns = row.values.size();
        if (row.values.size() != columns)
            return decodeFailure(pos, "row has " + std::to_string(row.values.size()) + " columns, expected " +
                                          std::to_string(columns));
        out.push_back(std::move(row));
        pos = at + endSize;
    }
    return {};
}

DecodeError decodeRenameConfig(std::string_view text, std::vector<RenameEntry>& out) {
    constexpr std::string_view marker = "+file+";
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t at = text.find('\n', pos);
        if (at == std::string_view::npos) return decodeFailure(pos, "last line has no line end");
        std::string_view line = text.substr(pos, at - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // CR LF from the Windows agent
        const std::size_t mark = line.find(marker);
        if (mark == std::string_view::npos) return decodeFailure(pos, "line has no \"+file+\" marker");
        const std::string number(line.substr(0, mark));
        std::size_t digits = number.size();
        if (!number.empty() && number[0] == '-') --digits;
        if (digits == 0 || number.find_first_not_of("0123456789", number[0] == '-' ? 1 : 0) != std::string::npos)
            return decodeFailure(pos, "location id \"" + number + "\" is not a decimal number");
        RenameEntry entry;
        entry.offset = pos;
        entry.locationId = std::strtoll(number.c_str(), nullptr, 10);
        entry.path.assign(line.substr(mark + marker.size()));
        out.push_back(std::move(entry));
        pos = at + 1;
    }
    return {};
}

}  // namespace decoders
