// Windows event XML logs of the simulated hosts.
//
// A log is a sequence of <Event> elements, bare one after the other as
// `wevtutil qe` writes them (not a well-formed document) or inside one root
// element such as <Events>. The file is read in blocks and cut into single
// events, and each event is parsed on its own: memory holds one event and one
// block whatever the size of the file, and damage costs only the events it
// touches. A damaged event is reported and skipped; a file that ends inside
// an event is reported and ends there. UTF-16 files (with a byte order mark)
// are turned into UTF-8 as they are read.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/posix/wmi_internal.h"

namespace platform::wmi::sim {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
// An event bigger than this is not believed: the file ends there.
constexpr std::size_t kMaxEventSize = 64 * 1024 * 1024;

bool isNameEnd(char c) {
    return c == '>' || c == '/' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

class XmlEventFile : public EventSource {
public:
    XmlEventFile(std::string path, std::FILE* file, const ResumePoint* from)
        : path_(std::move(path)), file_(file) {
        if (from == nullptr || from->offset == 0) return;
        if (::fseeko(file_, static_cast<off_t>(from->offset), SEEK_SET) != 0) return;
        fileRead_ = endOffset_ = from->offset;
        first_ = false;
        encoding_ = from->encoding;
        events_ = from->events;
        sawEvent_ = from->events > 0;
        resumed_ = true;
    }
    ~XmlEventFile() override { std::fclose(file_); }

    bool next(EventEntry& out) override {
        beforeOffset_ = endOffset_;
        beforeEvents_ = events_;
        beforeEncoding_ = encoding_;
        while (!done_) {
            std::size_t start = 0, end = 0;
            if (!findEvent(start, end)) {
                finish();
                return false;
            }
            ++events_;
            std::string error;
            const bool ok = eventFromXmlText(buffer_.data() + start, end - start, out,
                                             encoding_.c_str(), &error);
            pos_ = end;
            endOffset_ = fileRead_ - buffer_.size() + end;
            if (ok) return true;
            report("\n WMI host log %s: event %d skipped, it is not well-formed: %s", path_.c_str(),
                   events_, error.c_str());
        }
        return false;
    }

    // The offset after the last whole event; UTF-16 files are turned into
    // UTF-8 as they are read, so their offsets do not say where that is.
    bool resumePoint(ResumePoint& out) const override {
        if (utf16_ != Utf16::None) return false;
        out.offset = endOffset_;
        out.events = events_;
        out.encoding = encoding_;
        return true;
    }
    bool lastEventPoint(ResumePoint& out) const override {
        if (utf16_ != Utf16::None) return false;
        out.offset = beforeOffset_;
        out.events = beforeEvents_;
        out.encoding = beforeEncoding_;
        return true;
    }
    bool resumed() const override { return resumed_; }

private:
    // Reads the next block into the buffer; false at the end of the file.
    bool fill() {
        if (eof_) return false;
        if (buffer_.size() - pos_ > kMaxEventSize + 2 * kBlockSize) {
            report("\n WMI host log %s: more than %zu bytes without the end of an element; the rest "
                   "of the file is not read",
                   path_.c_str(), kMaxEventSize);
            done_ = true;
            eof_ = true;
            return false;
        }
        char block[kBlockSize];
        const std::size_t n = std::fread(block, 1, sizeof block, file_);
        if (n == 0) {
            eof_ = true;
            return false;
        }
        fileRead_ += n;
        std::size_t from = 0;
        if (first_) {
            first_ = false;
            if (n >= 2 && static_cast<unsigned char>(block[0]) == 0xFF &&
                static_cast<unsigned char>(block[1]) == 0xFE) {
                utf16_ = Utf16::Little;
                from = 2;
            } else if (n >= 2 && static_cast<unsigned char>(block[0]) == 0xFE &&
                       static_cast<unsigned char>(block[1]) == 0xFF) {
                utf16_ = Utf16::Big;
                from = 2;
            } else if (n >= 3 && std::memcmp(block, "\xEF\xBB\xBF", 3) == 0) {
                from = 3;
            }
        }
        if (utf16_ == Utf16::None) {
            buffer_.append(block + from, n - from);
            return true;
        }
        pending16_.append(block + from, n - from);
        std::size_t i = 0;
        for (; i + 1 < pending16_.size(); i += 2) {
            const auto b0 = static_cast<unsigned char>(pending16_[i]);
            const auto b1 = static_cast<unsigned char>(pending16_[i + 1]);
            const std::uint32_t unit = utf16_ == Utf16::Little ? (b1 << 8 | b0) : (b0 << 8 | b1);
            if (high_) {
                if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    appendUtf8(buffer_, 0x10000 + ((high_ - 0xD800) << 10) + (unit - 0xDC00));
                    high_ = 0;
                    continue;
                }
                appendUtf8(buffer_, 0xFFFD);
                high_ = 0;
            }
            if (unit >= 0xD800 && unit <= 0xDBFF)
                high_ = unit;
            else if (unit >= 0xDC00 && unit <= 0xDFFF)
                appendUtf8(buffer_, 0xFFFD);
            else
                appendUtf8(buffer_, unit);
        }
        pending16_.erase(0, i);
        return true;
    }

    // Finds `text` at or after `from`, reading more of the file as needed.
    std::size_t find(const char* text, std::size_t from) {
        const std::size_t length = std::strlen(text);
        for (;;) {
            const std::size_t at = buffer_.find(text, from);
            if (at != std::string::npos) return at;
            if (buffer_.size() >= length) from = std::max(from, buffer_.size() - length + 1);
            if (!fill()) return std::string::npos;
        }
    }

    // The byte range of the next whole <Event> element.
    bool findEvent(std::size_t& start, std::size_t& end) {
        // What lies before pos_ is done with; dropping it now and then keeps
        // the buffer at about a block and an event.
        if (pos_ > kBlockSize) {
            buffer_.erase(0, pos_);
            pos_ = 0;
        }
        std::size_t at = pos_;
        for (;;) {
            // Text between elements is skipped block by block.
            std::size_t lt;
            while ((lt = buffer_.find('<', at)) == std::string::npos) {
                if (buffer_.find_first_not_of(" \t\r\n", at) != std::string::npos) sawText_ = true;
                buffer_.clear();
                pos_ = at = 0;
                if (!fill()) return false;
            }
            const std::size_t text = buffer_.find_first_not_of(" \t\r\n", at);
            if (text != std::string::npos && text < lt) sawText_ = true;
            at = lt;
            while (buffer_.size() < at + 16 && fill()) {
            }
            if (buffer_.compare(at, 4, "<!--") == 0) {
                const std::size_t close = find("-->", at + 4);
                if (close == std::string::npos) return false;
                at = close + 3;
                continue;
            }
            if (buffer_.compare(at, 2, "<?") == 0) {
                const std::size_t close = find("?>", at + 2);
                if (close == std::string::npos) return false;
                readDeclaration(at, close);
                at = close + 2;
                continue;
            }
            if (buffer_.compare(at, 2, "<!") == 0) {  // DOCTYPE or CDATA between events
                const bool cdata = buffer_.compare(at, 9, "<![CDATA[") == 0;
                std::size_t close = find(cdata ? "]]>" : ">", at + 2);
                if (close == std::string::npos) return false;
                if (!cdata) {
                    // An internal subset ends with "]>".
                    const std::size_t bracket = buffer_.find('[', at);
                    if (bracket != std::string::npos && bracket < close) close = find("]>", bracket);
                    if (close == std::string::npos) return false;
                }
                at = close + 1;
                continue;
            }
            std::size_t nameEnd = at + 1;
            for (;;) {
                while (nameEnd < buffer_.size() && !isNameEnd(buffer_[nameEnd])) ++nameEnd;
                if (nameEnd < buffer_.size() || !fill()) break;
            }
            const std::string name = buffer_.substr(at + 1, nameEnd - at - 1);
            const std::size_t colon = name.find(':');
            const std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
            if (local != "Event") {
                at = nameEnd;
                continue;
            }
            sawEvent_ = true;
            start = at;
            return findEventEnd(name, nameEnd, end);
        }
    }

    bool findEventEnd(const std::string& name, std::size_t from, std::size_t& end) {
        const std::size_t startTagEnd = find(">", from);
        if (startTagEnd == std::string::npos) return truncated();
        if (buffer_[startTagEnd - 1] == '/') {  // <Event/>
            end = startTagEnd + 1;
            return true;
        }
        const std::string closing = "</" + name;
        std::size_t at = startTagEnd;
        for (;;) {
            at = find(closing.c_str(), at);
            if (at == std::string::npos) return truncated();
            if (at - pos_ > kMaxEventSize) {
                report("\n WMI host log %s: event %d is larger than %zu bytes; the rest of the file is "
                       "not read",
                       path_.c_str(), events_ + 1, kMaxEventSize);
                done_ = true;
                return false;
            }
            std::size_t after = at + closing.size();
            while (buffer_.size() <= after + 1 && fill()) {
            }
            while (after < buffer_.size() && std::strchr(" \t\r\n", buffer_[after]) && buffer_[after])
                ++after;
            if (after < buffer_.size() && buffer_[after] == '>') {
                end = after + 1;
                return true;
            }
            at += closing.size();  // </EventData>, </EventID>, ...
        }
    }

    bool truncated() {
        report("\n WMI host log %s ends inside event %d; the events before it are used", path_.c_str(),
               events_ + 1);
        done_ = true;
        return false;
    }

    void readDeclaration(std::size_t from, std::size_t to) {
        if (buffer_.compare(from, 5, "<?xml") != 0 || utf16_ != Utf16::None) return;
        const std::string decl = buffer_.substr(from, to - from);
        const std::size_t key = decl.find("encoding");
        if (key == std::string::npos) return;
        const std::size_t quote = decl.find_first_of("'\"", key);
        if (quote == std::string::npos) return;
        const std::size_t endQuote = decl.find(decl[quote], quote + 1);
        if (endQuote == std::string::npos) return;
        encoding_ = decl.substr(quote + 1, endQuote - quote - 1);
    }

    void finish() {
        if (done_) return;
        done_ = true;
        if (!sawEvent_ && (sawText_ || buffer_.find_first_not_of(" \t\r\n") != std::string::npos))
            report("\n WMI host log %s holds no <Event> elements: it is not an event log", path_.c_str());
    }

    enum class Utf16 { None, Little, Big };

    std::string path_;
    std::FILE* file_;
    std::string buffer_;
    std::size_t pos_ = 0;
    bool sawText_ = false;
    bool eof_ = false;
    bool first_ = true;
    bool done_ = false;
    bool sawEvent_ = false;
    int events_ = 0;
    std::string encoding_ = "UTF-8";
    Utf16 utf16_ = Utf16::None;
    std::string pending16_;
    std::uint32_t high_ = 0;
    // Bytes of the file read so far; in UTF-8 files buffer_ ends there.
    std::uint64_t fileRead_ = 0;
    std::uint64_t endOffset_ = 0;  // file offset after the last whole event
    // Where the last next() began.
    std::uint64_t beforeOffset_ = 0;
    int beforeEvents_ = 0;
    std::string beforeEncoding_;
    bool resumed_ = false;
};

}  // namespace

std::unique_ptr<EventSource> openXmlEventFile(const std::string& path, const ResumePoint* from) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        report("\n WMI host log %s cannot be opened", path.c_str());
        return nullptr;
    }
    return std::make_unique<XmlEventFile>(path, file, from);
}

}  // namespace platform::wmi::sim
