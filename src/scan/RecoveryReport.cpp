#include "scan/RecoveryReport.h"

#include <openssl/opensslv.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <pugixml.hpp>

#include "device/readWriteInterface.h"
#include "platform/OutputPath.h"
#include "platform/Text.h"

namespace vel {

namespace {

constexpr const char* kDfxmlNamespace =
    "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML";

// Text as XML 1.0 takes it: valid UTF-8 without control characters (hostile names carry any).
std::string xmlText(const std::string& s) {
    // Most text is printable ASCII and goes as it is.
    if (std::all_of(s.begin(), s.end(), [](char ch) { return ch >= 0x20 && ch < 0x7F; })) return s;
    std::string out = sanitizeUtf8(s);
    std::string clean;
    clean.reserve(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
            clean += "\xEF\xBF\xBD";
        } else if (c == 0xEF && i + 2 < out.size() &&
                   static_cast<unsigned char>(out[i + 1]) == 0xBF &&
                   (static_cast<unsigned char>(out[i + 2]) & 0xFE) == 0xBE) {
            clean += "\xEF\xBF\xBD";  // U+FFFE and U+FFFF are not characters
            i += 2;
        } else {
            clean += out[i];
        }
    }
    return clean;
}

void text(pugi::xml_node parent, const char* name, const std::string& value) {
    parent.append_child(name).text().set(xmlText(value).c_str());
}

void number(pugi::xml_node parent, const char* name, long long value) {
    parent.append_child(name).text().set(value);
}

void attribute(pugi::xml_node node, const char* name, unsigned long long value) {
    node.append_attribute(name).set_value(value);
}

void time(pugi::xml_node parent, const char* name, const std::optional<HostTime>& t) {
    if (t) parent.append_child(name).text().set(isoTime(*t).c_str());
}

const char* statusName(SaveStatus s) {
    switch (s) {
        case SaveStatus::Whole:
            return "whole";
        case SaveStatus::Incomplete:
            return "incomplete";
        case SaveStatus::Failed:
            return "failed";
        case SaveStatus::Skipped:
            return "skipped";
    }
    return "failed";
}

const char* damageName(DamagedRange::Kind k) {
    switch (k) {
        case DamagedRange::Kind::Unreadable:
            return "vellorine:unreadable";
        case DamagedRange::Kind::PastSourceEnd:
            return "vellorine:past_source_end";
        case DamagedRange::Kind::OutsideVolume:
            return "vellorine:outside_volume";
        case DamagedRange::Kind::NotFound:
            return "vellorine:not_found";
    }
    return "vellorine:unreadable";
}

void print(std::FILE* out, const pugi::xml_node& node, unsigned depth) {
    pugi::xml_writer_file writer(out);
    node.print(writer, "  ", pugi::format_indent | pugi::format_no_declaration, pugi::encoding_utf8,
               depth);
}

}  // namespace

std::string isoTime(const HostTime& t) {
    std::tm tm{};
    const std::time_t seconds = static_cast<std::time_t>(t.seconds);
    if (!::gmtime_r(&seconds, &tm)) return "";
    // Every file has three: formatted by hand, as printf's parsing costs more than the rest.
    char buf[48];
    char* p = buf;
    auto digits = [&p](long value, int width) {
        char tmp[24];
        auto [end, ec] = std::to_chars(tmp, tmp + sizeof tmp, value < 0 ? -value : value);
        if (value < 0) {  // as %0*d has it: the sign counts in the width
            *p++ = '-';
            --width;
        }
        for (int pad = width - static_cast<int>(end - tmp); pad > 0; --pad) *p++ = '0';
        p = std::copy(tmp, end, p);
    };
    digits(static_cast<long>(tm.tm_year) + 1900, 4);
    const int fields[] = {tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    const char separators[] = {'-', '-', 'T', ':', ':'};
    for (int i = 0; i < 5; ++i) {
        *p++ = separators[i];
        digits(fields[i], 2);
    }
    if (t.nanoseconds != 0) {
        *p++ = '.';
        std::uint32_t ns = t.nanoseconds;
        int width = 9;
        while (ns % 10 == 0) {
            ns /= 10;
            --width;
        }
        digits(static_cast<long>(ns), width);
    }
    *p++ = 'Z';
    return std::string(buf, p);
}

std::unique_ptr<RecoveryReport> RecoveryReport::intoFolder(const std::string& outputDir) {
    return std::unique_ptr<RecoveryReport>(new RecoveryReport(outputDir, kDefaultName, false));
}

std::unique_ptr<RecoveryReport> RecoveryReport::atPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    if (folder.empty()) folder = "/";
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return std::unique_ptr<RecoveryReport>(new RecoveryReport(folder, name, true));
}

RecoveryReport::RecoveryReport(std::string folder, std::string name, bool replace)
    : folderPath_(std::move(folder)), name_(std::move(name)), replace_(replace) {}

RecoveryReport::~RecoveryReport() {
    if (out_) std::fclose(out_);
    if (folder_ && !tempName_.empty()) folder_->remove(tempName_);
}

bool RecoveryReport::begin(const ReportSource& source, const ReportVolume& volume,
                           const std::string& commandLine, std::string& error) {
    if (name_.empty() || name_ == "." || name_ == "..") {
        error = folderPath_ + ": the report needs a file name";
        return false;
    }
    folder_ = OutputFolder::open(folderPath_, error);
    if (!folder_) return false;
    const int fd = folder_->createTemporary(tempName_);
    if (fd < 0 || !(out_ = ::fdopen(fd, "w"))) {
        error = folder_->path() + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }

    std::fprintf(out_,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<dfxml xmlns=\"%s\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                 "xmlns:vellorine=\"%s\" version=\"1.2.0\">\n",
                 kDfxmlNamespace, kNamespace);
    pugi::xml_document doc;
    pugi::xml_node metadata = doc.append_child("metadata");
    text(metadata, "dc:type", "Recovery report");

    pugi::xml_node creator = doc.append_child("creator");
    creator.append_attribute("version") = "1.0";
    text(creator, "program", "Vellorine");
    text(creator, "version", VELLORINE_VERSION);
    pugi::xml_node lib = creator.append_child("library");
    lib.append_attribute("name") = "pugixml";
    lib.append_attribute("version") =
        (std::to_string(PUGIXML_VERSION / 1000) + "." + std::to_string(PUGIXML_VERSION / 10 % 100))
            .c_str();
    lib = creator.append_child("library");
    lib.append_attribute("name") = "OpenSSL";
    lib.append_attribute("version") = OPENSSL_VERSION_STR;
    pugi::xml_node env = creator.append_child("execution_environment");
    utsname uts{};
    if (::uname(&uts) == 0) {
        text(env, "os_sysname", uts.sysname);
        text(env, "os_release", uts.release);
        text(env, "host", uts.nodename);
        text(env, "arch", uts.machine);
    }
    text(env, "command_line", commandLine);
    text(env, "start_time", isoTime(HostTime{static_cast<std::int64_t>(std::time(nullptr)), 0}));

    pugi::xml_node src = doc.append_child("source");
    text(src, "image_filename", source.path);
    number(src, "image_size", source.size);
    number(src, "sectorsize", 512);
    if (!source.sha256.empty()) {
        pugi::xml_node h = src.append_child("hashdigest");
        h.append_attribute("type") = "sha256";
        h.text().set(source.sha256.c_str());
    }
    for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling()) print(out_, n, 1);

    imageBase_ = sectorsToBytes(volume.startSector);
    const long long startByte = imageBase_;
    std::fprintf(out_, "  <volume offset=\"%lld\">\n", startByte);
    pugi::xml_document v;
    number(v, "partition_offset", startByte);
    number(v, "sector_size", 512);
    if (volume.sizeBytes > 0) number(v, "vellorine:size", volume.sizeBytes);
    text(v, "ftype_str", volume.fileSystem);
    number(v, "vellorine:start_sector", volume.startSector);
    text(v, "vellorine:output_folder", folderPath_);
    for (pugi::xml_node n = v.first_child(); n; n = n.next_sibling()) print(out_, n, 2);
    failed_ = std::ferror(out_) != 0;
    return true;
}

void RecoveryReport::add(const SaveRecord& f) {
    if (!out_) return;
    if (!scratch_) scratch_ = std::make_unique<pugi::xml_document>();
    scratch_->remove_children();
    pugi::xml_node o = scratch_->append_child("fileobject");
    text(o, "filename", f.originalPath);
    number(o, "filesize", static_cast<long long>(f.size));
    number(o, f.deleted ? "unalloc" : "alloc", 1);
    time(o, "mtime", f.times.modified);
    time(o, "atime", f.times.accessed);
    time(o, "crtime", f.times.created);
    if (!f.runs.empty()) {
        pugi::xml_node runs = o.append_child("byte_runs");
        for (const ByteRun& r : f.runs) {
            if (r.kind == ByteRun::Kind::Missing) continue;  // told under damage
            pugi::xml_node b = runs.append_child("byte_run");
            attribute(b, "file_offset", r.fileOffset);
            if (r.kind == ByteRun::Kind::Data) {
                attribute(b, "fs_offset", static_cast<unsigned long long>(r.volumeOffset));
                attribute(b, "img_offset",
                          static_cast<unsigned long long>(r.volumeOffset + imageBase_));
            } else {
                b.append_attribute("fill") = "0";
            }
            attribute(b, "len", r.length);
        }
    }
    if (!f.sha256.empty()) {
        pugi::xml_node h = o.append_child("hashdigest");
        h.append_attribute("type") = "sha256";
        h.text().set(f.sha256.c_str());
    }
    text(o, "vellorine:status", statusName(f.status));
    if (!f.savedPath.empty()) {
        text(o, "vellorine:saved_path", f.savedPath);
        number(o, "vellorine:saved_size", static_cast<long long>(f.written));
    }
    if (!f.reason.empty()) text(o, "vellorine:reason", f.reason);
    if (!f.damage.empty()) {
        pugi::xml_node d = o.append_child("vellorine:damage");
        for (const DamagedRange& r : f.damage) {
            pugi::xml_node x = d.append_child(damageName(r.kind));
            if (r.fileOffset) attribute(x, "file_offset", *r.fileOffset);
            if (r.imageOffset >= 0)
                attribute(x, "img_offset", static_cast<unsigned long long>(r.imageOffset));
            attribute(x, "len", r.length);
        }
    }
    print(out_, o, 2);
}

bool RecoveryReport::finish(const SaveReport& totals, std::string& error) {
    if (!out_) {
        error = "the report was not started";
        return false;
    }
    std::fputs("  </volume>\n", out_);
    pugi::xml_document doc;
    pugi::xml_node s = doc.append_child("vellorine:summary");
    attribute(s, "whole", static_cast<unsigned long long>(totals.filesWritten));
    attribute(s, "incomplete", totals.incomplete.size());
    attribute(s, "failed", totals.failures.size());
    attribute(s, "skipped", static_cast<unsigned long long>(totals.skipped));
    s.append_attribute("stopped") = totals.stopped ? "true" : "false";
    print(out_, s, 1);
    std::fputs("</dfxml>\n", out_);
    const bool written = std::fflush(out_) == 0 && !std::ferror(out_) && !failed_;
    const int closed = std::fclose(out_);
    out_ = nullptr;
    if (!written || closed != 0) {
        error = folder_->pathOf(tempName_) + ": " + std::strerror(errno ? errno : EIO);
        return false;
    }
    if (replace_) {
        if (::renameat(folder_->fd(), tempName_.c_str(), folder_->fd(), name_.c_str()) != 0) {
            error = folder_->pathOf(name_) + ": " + std::strerror(errno);
            return false;
        }
        path_ = folder_->pathOf(name_);
    } else {
        auto named = folder_->publish(tempName_, name_);
        if (!named) {
            error = folder_->pathOf(name_) + ": " + std::strerror(errno);
            return false;
        }
        path_ = folder_->pathOf(*named);
    }
    tempName_.clear();
    return true;
}

}  // namespace vel
