#include "imageio/metadata.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <exiv2/exiv2.hpp>

namespace {

// exiv2 0.27 does not promise that its XMP toolkit and tag tables may be used by several
// threads at once, and loaders run on several: every use of the library holds this. A file's
// metadata takes well under a millisecond to read.
std::mutex& libraryMutex() {
    static std::mutex mutex;
    return mutex;
}

void prepareLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        // By default the library prints its complaints to standard error; ours reach the user
        // as one warning, from the exception.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
        // Raw files in the ISO media format (CR3) are only read when asked for.
        Exiv2::enableBMFF(true);
    });
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Fields of the first TIFF directory that describe how its pixels are stored, or point at
// metadata exiv2 handles on its own (XMP, IPTC, ICC): they belong to the file our codec wrote.
constexpr uint16_t kStructureTags[] = {
    0x00fe, 0x00ff, 0x0100, 0x0101, 0x0102, 0x0103, 0x0106, 0x0107, 0x0108, 0x0109, 0x010a, 0x0111,
    0x0115, 0x0116, 0x0117, 0x0118, 0x0119, 0x011c, 0x0120, 0x0121, 0x0122, 0x0123, 0x0124, 0x0125,
    0x013d, 0x0140, 0x0142, 0x0143, 0x0144, 0x0145, 0x014a, 0x014c, 0x014d, 0x014e, 0x0150, 0x0152,
    0x0153, 0x0154, 0x0155, 0x0156, 0x015b, 0x0200, 0x0201, 0x0202, 0x0203, 0x0205, 0x0206, 0x0207,
    0x0208, 0x0209, 0x0211, 0x0212, 0x0213, 0x0214, 0x02bc, 0x83bb, 0x8649, 0x8773};
// The input's compression ratio, and a list of source exposures that described an input made
// of other pictures.
constexpr uint16_t kDroppedPhotoTags[] = {0x9102, 0xa462};
constexpr uint16_t kCompositeImage = 0xa460, kSourceImageNumbers = 0xa461;

bool isDngTag(uint16_t tag) {
    return (tag >= 0xc612 && tag <= 0xc7ff) || (tag >= 0xcd00 && tag <= 0xcdff);
}

// The thumbnail, the directories of other images in the file (raw data, previews, a multi-
// picture index) and what describes a raw sensor's data.
bool droppedExif(const Exiv2::Exifdatum& datum) {
    const std::string group = datum.groupName();
    if (group == "Thumbnail" || group == "Image2" || group == "Image3" || group == "MpfInfo" ||
        group == "PanasonicRaw" || startsWith(group, "SubImage") || startsWith(group, "SubThumb"))
        return true;
    if (startsWith(datum.tagName(), "CFA"))
        return true;
    const uint16_t tag = datum.tag();
    if (group == "Image")
        return isDngTag(tag) || std::find(std::begin(kStructureTags), std::end(kStructureTags),
                                          tag) != std::end(kStructureTags);
    if (group == "Photo")
        return std::find(std::begin(kDroppedPhotoTags), std::end(kDroppedPhotoTags), tag) !=
               std::end(kDroppedPhotoTags);
    return false;
}

bool isOrientation(const Exiv2::Exifdatum& datum) {
    return datum.groupName() == "Image" && datum.tag() == 0x0112;
}

// The XMP mirrors of fields dropped above.
bool droppedXmp(const Exiv2::Xmpdatum& datum) {
    static const char* const kStructure[] = {"Xmp.tiff.ImageWidth",
                                             "Xmp.tiff.ImageLength",
                                             "Xmp.tiff.BitsPerSample",
                                             "Xmp.tiff.Compression",
                                             "Xmp.tiff.SamplesPerPixel",
                                             "Xmp.tiff.PlanarConfiguration",
                                             "Xmp.tiff.YCbCrSubSampling",
                                             "Xmp.tiff.YCbCrPositioning",
                                             "Xmp.tiff.YCbCrCoefficients",
                                             "Xmp.tiff.ReferenceBlackWhite",
                                             "Xmp.tiff.PhotometricInterpretation",
                                             "Xmp.exif.CompressedBitsPerPixel"};
    const std::string key = datum.key();
    if (startsWith(key, "Xmp.xmp.Thumbnails") || startsWith(key, "Xmp.exif.CFAPattern"))
        return true;
    return std::any_of(std::begin(kStructure), std::end(kStructure),
                       [&](const char* dropped) { return key == dropped; });
}

struct Copied {
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    bool orientationOnly = true;  // nothing in exif but an Orientation of 1
};

Copied copiedMetadata(Exiv2::Image& source) {
    Copied copied;
    for (const Exiv2::Exifdatum& datum : source.exifData()) {
        if (droppedExif(datum))
            continue;
        copied.exif.add(datum);
        if (!isOrientation(datum) || datum.toLong() != 1)
            copied.orientationOnly = false;
    }
    if (copied.orientationOnly)
        copied.exif.clear();
    for (const Exiv2::Xmpdatum& datum : source.xmpData())
        if (!droppedXmp(datum))
            copied.xmp.add(datum);
    return copied;
}

bool carriesNothing(const Copied& copied, Exiv2::Image& source) {
    return copied.exif.empty() && copied.xmp.empty() && source.iptcData().empty() &&
           !source.iccProfileDefined();
}

double toSeconds(const Exiv2::Rational& fraction) {
    if (fraction.first <= 0 || fraction.second <= 0)
        return std::nan("");
    return double(fraction.first) / double(fraction.second);
}

// XMP writes rationals as text, "1/125", and some writers a decimal; parsed without the
// locale, which may use a decimal comma.
double secondsFromText(const std::string& text) {
    double numerator = 0, denominator = 1;
    const char* end = text.data() + text.size();
    auto parsed = std::from_chars(text.data(), end, numerator);
    if (parsed.ec != std::errc())
        return std::nan("");
    if (parsed.ptr != end) {
        if (*parsed.ptr != '/')
            return std::nan("");
        parsed = std::from_chars(parsed.ptr + 1, end, denominator);
        if (parsed.ec != std::errc() || parsed.ptr != end)
            return std::nan("");
    }
    if (!(numerator > 0 && denominator > 0))
        return std::nan("");
    return numerator / denominator;
}

bool digitsAt(const std::string& text, std::initializer_list<size_t> positions) {
    return std::all_of(positions.begin(), positions.end(), [&](size_t at) {
        return at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));
    });
}

// Cameras without a clock write blanks or zeros; only a plausible date is passed on.
bool plausibleDate(const std::string& exifDate) {
    if (exifDate.size() != 19 ||
        !digitsAt(exifDate, {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18}))
        return false;
    for (const auto& [at, separator] :
         {std::pair{4, ':'}, {7, ':'}, {10, ' '}, {13, ':'}, {16, ':'}})
        if (exifDate[size_t(at)] != separator)
            return false;
    const int month = std::stoi(exifDate.substr(5, 2)), day = std::stoi(exifDate.substr(8, 2));
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

// XMP's "2024-05-06T07:08:09" (any fraction or zone after it is ignored) as Exif's
// "2024:05:06 07:08:09".
std::string exifDateFromXmp(std::string text) {
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T')
        return "";
    text.resize(19);
    text[4] = text[7] = ':';
    text[10] = ' ';
    return text;
}

std::string xmpDateFromExif(std::string text) {
    text[4] = text[7] = '-';
    text[10] = 'T';
    return text;
}

// The fraction nearest to seconds whose terms fit Exif's 32-bit fields, from its continued
// fraction: 1/125 stays 1/125, and a sum such as 1/125 + 1/60 comes out as 37/1500.
Exiv2::URational exposureFraction(double seconds) {
    uint64_t numerator = 1, denominator = 0, previousNumerator = 0, previousDenominator = 1;
    double rest = seconds;
    for (int term = 0; term < 64; ++term) {
        const double whole = std::floor(rest);
        if (whole > double(UINT32_MAX))
            break;
        const auto a = static_cast<uint64_t>(whole);
        const uint64_t nextNumerator = a * numerator + previousNumerator;
        const uint64_t nextDenominator = a * denominator + previousDenominator;
        if (nextNumerator > UINT32_MAX || nextDenominator > UINT32_MAX)
            break;
        previousNumerator = numerator, previousDenominator = denominator;
        numerator = nextNumerator, denominator = nextDenominator;
        if (std::fabs(double(numerator) / double(denominator) - seconds) <= seconds * 1e-12 ||
            rest == whole)
            break;
        rest = 1 / (rest - whole);
    }
    return {uint32_t(numerator), uint32_t(denominator)};
}

void setExif(Exiv2::ExifData& exif, uint16_t tag, const char* group, const Exiv2::Value& value) {
    const Exiv2::ExifKey key(tag, group);
    const auto at = exif.findKey(key);
    if (at != exif.end())
        at->setValue(&value);
    else
        exif.add(key, &value);
}

void setExifText(Exiv2::ExifData& exif, uint16_t tag, const char* group, const std::string& text) {
    // Read, not constructed: only read() adds the terminating NUL that TIFF readers expect.
    Exiv2::AsciiValue value;
    value.read(text);
    setExif(exif, tag, group, value);
}

void setExifShorts(Exiv2::ExifData& exif, uint16_t tag, const char* group,
                   std::initializer_list<int> numbers) {
    Exiv2::UShortValue value;
    for (const int number : numbers)
        value.value_.push_back(static_cast<uint16_t>(std::clamp(number, 0, 65535)));
    setExif(exif, tag, group, value);
}

// Only properties the first input has: a viewer reading the XMP must not see another story.
void updateXmp(Exiv2::XmpData& xmp, const char* key, const std::string& text) {
    const auto at = xmp.findKey(Exiv2::XmpKey(key));
    if (at != xmp.end())
        at->setValue(text);
}

void describeComposite(Copied& copied, const CompositeFacts& facts) {
    Exiv2::ExifData& exif = copied.exif;
    Exiv2::XmpData& xmp = copied.xmp;
    if (facts.firstInputRotated) {
        setExifShorts(exif, 0x0112, "Image", {1});
        updateXmp(xmp, "Xmp.tiff.Orientation", "1");
    }
    if (facts.width > 0 && facts.height > 0) {
        setExif(exif, 0xa002, "Photo", Exiv2::ULongValue(uint32_t(facts.width)));
        setExif(exif, 0xa003, "Photo", Exiv2::ULongValue(uint32_t(facts.height)));
        updateXmp(xmp, "Xmp.exif.PixelXDimension", std::to_string(facts.width));
        updateXmp(xmp, "Xmp.exif.PixelYDimension", std::to_string(facts.height));
    }
    if (!facts.software.empty()) {
        setExifText(exif, 0x0131, "Image", facts.software);
        updateXmp(xmp, "Xmp.xmp.CreatorTool", facts.software);
    }
    if (plausibleDate(facts.dateTime)) {
        setExifText(exif, 0x0132, "Image", facts.dateTime);
        updateXmp(xmp, "Xmp.xmp.ModifyDate", xmpDateFromExif(facts.dateTime));
    }
    if (!facts.description.empty())
        setExifText(exif, 0x010e, "Image", facts.description);
    setExifShorts(exif, kCompositeImage, "Photo", {2});  // general composite image
    setExifShorts(exif, kSourceImageNumbers, "Photo", {facts.imagesGiven, facts.imagesCombined});
    if (facts.exposureTime > 0 && std::isfinite(facts.exposureTime)) {
        const Exiv2::URational fraction = exposureFraction(facts.exposureTime);
        if (fraction.second != 0) {
            setExif(exif, 0x829a, "Photo", Exiv2::URationalValue(fraction));
            updateXmp(xmp, "Xmp.exif.ExposureTime",
                      std::to_string(fraction.first) + "/" + std::to_string(fraction.second));
        }
    }
}

uint32_t bigEndian32(const Exiv2::byte* at) {
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | at[3];
}

void appendBigEndian32(std::vector<Exiv2::byte>& bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<Exiv2::byte>(value >> shift));
}

// PNG's CRC-32 (ISO 3309), bit by bit: it only ever covers one profile chunk.
uint32_t chunkCrc(const Exiv2::byte* data, size_t size) {
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// exiv2 0.27 writes the iCCP chunk of a PNG that had none with an empty profile name, and
// libpng drops such a chunk, profile and all. The copy in repaired gives it a name; false when
// there is nothing to repair.
bool nameColourProfile(const Exiv2::byte* png, size_t size, std::vector<Exiv2::byte>& repaired) {
    static const char kName[] = "ICC profile";
    for (size_t at = 8; at + 12 <= size;) {
        const uint32_t length = bigEndian32(png + at);
        if (length > size - at - 12)
            return false;
        const Exiv2::byte* type = png + at + 4;
        if (std::memcmp(type, "iCCP", 4) == 0) {
            if (length == 0 || type[4] != 0)
                return false;
            repaired.assign(png, png + at);
            appendBigEndian32(repaired, uint32_t(length + sizeof kName - 1));
            const size_t chunk = repaired.size();
            repaired.insert(repaired.end(), type, type + 4);
            repaired.insert(repaired.end(), kName, kName + sizeof kName - 1);
            repaired.insert(repaired.end(), type + 4, type + 4 + length);
            appendBigEndian32(repaired, chunkCrc(repaired.data() + chunk, repaired.size() - chunk));
            repaired.insert(repaired.end(), type + 4 + length + 4, png + size);
            return true;
        }
        at += 12 + size_t(length);
    }
    return false;
}

// The new contents go over the old ones in the same file. Space is reserved before the first
// byte changes, so running out of it leaves the codec's file intact.
bool overwriteFile(const std::string& path, const Exiv2::byte* data, size_t size,
                   std::string& why) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    int error = posix_fallocate(fd, 0, static_cast<off_t>(size));
    for (size_t done = 0; error == 0 && done < size;) {
        const ssize_t written = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (written < 0 && errno != EINTR)
            error = errno;
        else if (written > 0)
            done += size_t(written);
    }
    if (error == 0 && ftruncate(fd, static_cast<off_t>(size)) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        why = std::strerror(error);
    return error == 0;
}

// Throws on failure; returns why the colour profile was left out, or "".
std::string writeInto(const std::string& path, const Copied& copied, Exiv2::Image& source) {
    // Read whole and edited in memory: exiv2 writing by name would put a new file in its
    // place, behind the back of whoever holds the codec's file open.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<Exiv2::byte> contents(in ? static_cast<size_t>(in.tellg()) : 0);
    if (!in.seekg(0) ||
        !in.read(reinterpret_cast<char*>(contents.data()), std::streamsize(contents.size())))
        throw std::runtime_error("the output could not be read back");
    auto target = Exiv2::ImageFactory::open(contents.data(), long(contents.size()));
    target->readMetadata();
    // The codec's own fields stay (in a TIFF, the ones that locate the pixels); the copies
    // replace any of the same name.
    Exiv2::ExifData exif = target->exifData();
    for (const Exiv2::Exifdatum& datum : copied.exif) {
        const auto own = exif.findKey(Exiv2::ExifKey(datum.key()));
        if (own != exif.end())
            exif.erase(own);
    }
    for (const Exiv2::Exifdatum& datum : copied.exif)
        exif.add(datum);
    target->setExifData(exif);
    target->setXmpData(copied.xmp);
    target->setIptcData(source.iptcData());
    std::string iccProblem;
    if (source.iccProfileDefined()) {
        try {
            target->setIccProfile(*source.iccProfile());
        } catch (const Exiv2::AnyError& error) {
            iccProblem = error.what();
        }
    }
    target->writeMetadata();
    Exiv2::BasicIo& io = target->io();
    if (io.open() != 0)
        throw std::runtime_error("the edited output could not be read");
    const Exiv2::byte* edited = io.mmap();
    size_t size = io.size();
    std::vector<Exiv2::byte> repaired;
    if (target->mimeType() == "image/png" && nameColourProfile(edited, size, repaired)) {
        edited = repaired.data();
        size = repaired.size();
    }
    std::string why;
    const bool written = overwriteFile(path, edited, size, why);
    io.munmap();
    io.close();
    if (!written)
        throw std::runtime_error("the output could not be rewritten: " + why);
    return iccProblem;
}

}  // namespace

FrameFacts readFrameFacts(const char* path) {
    FrameFacts facts;
    std::lock_guard<std::mutex> lock(libraryMutex());
    try {
        prepareLibrary();
        auto image = Exiv2::ImageFactory::open(path);
        image->readMetadata();
        const Exiv2::ExifData& exif = image->exifData();
        const Exiv2::XmpData& xmp = image->xmpData();
        if (const auto at = exif.findKey(Exiv2::ExifKey("Exif.Photo.ExposureTime"));
            at != exif.end() && at->count() > 0)
            facts.exposureTime = toSeconds(at->toRational());
        else if (const auto text = xmp.findKey(Exiv2::XmpKey("Xmp.exif.ExposureTime"));
                 text != xmp.end())
            facts.exposureTime = secondsFromText(text->toString());
        if (const auto at = exif.findKey(Exiv2::ExifKey("Exif.Photo.DateTimeOriginal"));
            at != exif.end())
            facts.dateTimeOriginal = at->toString();
        else if (const auto text = xmp.findKey(Exiv2::XmpKey("Xmp.exif.DateTimeOriginal"));
                 text != xmp.end())
            facts.dateTimeOriginal = exifDateFromXmp(text->toString());
        if (!plausibleDate(facts.dateTimeOriginal))
            facts.dateTimeOriginal.clear();
        facts.hasMetadata = !carriesNothing(copiedMetadata(*image), *image);
    } catch (const std::exception&) {
        return FrameFacts();
    }
    return facts;
}

bool writeCompositeMetadata(const std::string& path, const CompositeFacts& facts,
                            std::string& warning) {
    warning.clear();
    std::lock_guard<std::mutex> lock(libraryMutex());
    try {
        prepareLibrary();
        auto source = Exiv2::ImageFactory::open(facts.firstInput);
        source->readMetadata();
        Copied copied = copiedMetadata(*source);
        if (carriesNothing(copied, *source))
            return true;
        describeComposite(copied, facts);
        const std::string iccProblem = writeInto(path, copied, *source);
        if (iccProblem.empty())
            return true;
        warning = "Colour profile of " + facts.firstInput + " not copied: " + iccProblem;
    } catch (const std::exception& error) {
        warning = "Metadata of " + facts.firstInput + " not copied: " + error.what();
    } catch (...) {
        warning = "Metadata of " + facts.firstInput + " not copied";
    }
    return false;
}
