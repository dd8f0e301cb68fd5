#include <gtest/gtest.h>

#include <fstream>

#include "raw/SignatureFile.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;

namespace {

SignatureInputs jpegInputs() {
    SignatureInputs in;
    in.extension = "jpg";
    in.startSignature = "0xFF,0xD8,0xFF";
    in.endSignature = "0xFF,0xD9";
    in.approximateSize = "2097152";
    in.category = "Images";
    return in;
}

void writeRecords(const std::string& path, const std::vector<SignatureFileRecord>& records,
                  std::size_t extraBytes = 0) {
    std::string bytes;
    for (const auto& r : records) {
        auto b = encodeRecord(r);
        bytes.append(reinterpret_cast<const char*>(b.data()), b.size());
    }
    bytes.append(extraBytes, '\0');
    writeFile(path, bytes);
}

SignatureFileRecord record(std::uint8_t index, const char16_t* ext = u"bin") {
    SignatureFileRecord r;
    r.extension = ext;
    r.extensionLength = static_cast<std::uint8_t>(r.extension.size());
    r.start = {0xCA, 0xFE};
    r.startLength = 2;
    r.recordIndex = index;
    r.approximateSize = 4096;
    r.category = u"Other";
    return r;
}

}  // namespace

TEST(SignatureRecord, FieldsSitAtTheirOffsetsAndRoundTrip) {
    SignatureFileRecord r;
    r.extension = u"jpeg";
    r.extensionLength = 5;
    r.start = {0x89, 0x50, 0x4E, 0x47};
    r.startLength = 4;
    r.end = {0x49, 0x45};
    r.endLength = 2;
    r.recordIndex = 7;
    r.offsetToSize = 0x12;
    r.sizeBytes = 4;
    r.headerSize = 0x36;
    r.sizeIncludesHeader = true;
    r.approximateSize = 0x123456789LL;
    r.skipSize = -2;
    r.category = u"Pictures";
    const auto b = encodeRecord(r);
    ASSERT_EQ(b.size(), 171u);
    EXPECT_EQ(b[0], 'j');
    EXPECT_EQ(b[6], 'g');
    EXPECT_EQ(b[8] | b[9], 0);
    EXPECT_EQ(b[10], 5);
    EXPECT_EQ(b[11], 0x89);
    EXPECT_EQ(b[14], 0x47);
    EXPECT_EQ(b[21], 0x49);
    EXPECT_EQ(b[31], 4);
    EXPECT_EQ(b[32], 2);
    EXPECT_EQ(b[33], 7);
    EXPECT_EQ(b[34], 0x12);
    EXPECT_EQ(b[38], 4);
    EXPECT_EQ(b[42], 0x36);
    EXPECT_EQ(b[46], 1);
    EXPECT_EQ(b[51], 0x89);
    EXPECT_EQ(b[55], 0x01);
    EXPECT_EQ(b[59], 0xFE);
    EXPECT_EQ(b[66], 0xFF);
    EXPECT_EQ(b[67], 'P');
    EXPECT_EQ(b[81], 's');
    for (int i : {47, 48, 49, 50, 167, 168, 169, 170}) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(decodeRecord(b.data()), r);
}

TEST(SignatureRecord, TypedTextsBecomeFieldsAsTheEditorReadsThem) {
    struct Case {
        const char* text;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {"0x89,0x50,0x4E,0x47", {0x89, 0x50, 0x4E, 0x47}},
        {"ff,d8,ff", {0xFF, 0xD8, 0xFF}},
        {"0xFF,,0xD8", {0xFF, 0xD8}},
        {" 0x1ff , 2A ", {0xFF, 0x2A}},  // low 8 bits; blanks around values
        {",,", {}},
        {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(parseSignatureText(c.text).bytes, c.bytes) << c.text;
    EXPECT_EQ(parseSignatureText("1,2,3,4,5,6,7,8,9,10,11").valueCount, 11u);

    EXPECT_EQ(parseNumberField("2097152"), 2097152);
    EXPECT_EQ(parseNumberField("12abc"), 12);
    EXPECT_EQ(parseNumberField("abc"), 0);
    EXPECT_EQ(parseNumberField(""), 0);
    EXPECT_EQ(parseNumberField("-5"), -5);
}

TEST(SignatureRecord, BuildKeepsOrRefusesAsTheFieldsSay) {
    SignatureInputs in = jpegInputs();
    BuiltRecord b = buildRecord(in, 3);
    ASSERT_TRUE(b.record);
    EXPECT_EQ(b.record->recordIndex, 3);
    EXPECT_EQ(b.record->startLength, 3);
    EXPECT_EQ(b.record->endLength, 2);
    EXPECT_EQ(b.record->offsetToSize, -1);  // empty field
    EXPECT_EQ(b.record->approximateSize, 2097152);
    EXPECT_EQ(b.record->category, u"Images");

    in.offsetToSize = "0";
    EXPECT_EQ(buildRecord(in, 0).record->offsetToSize, -1);
    in.offsetToSize = "18";
    EXPECT_EQ(buildRecord(in, 0).record->offsetToSize, 18);
    // A size above 2 GiB is kept as typed; the record has 64 bits for it.
    in.approximateSize = "5000000000";
    EXPECT_EQ(buildRecord(in, 0).record->approximateSize, 5000000000LL);

    in.extension = "tiff";
    EXPECT_EQ(buildRecord(in, 0).record->extension, u"tiff");
    EXPECT_EQ(buildRecord(in, 0).record->extensionLength, 4);
    in.extension = "jpegx";
    EXPECT_EQ(buildRecord(in, 0).record->extension, u"jpeg");
    EXPECT_EQ(buildRecord(in, 0).record->extensionLength, 5);

    struct Refusal {
        std::function<void(SignatureInputs&)> change;
        const char* message;
    } refusals[] = {
        {[](SignatureInputs& i) { i.extension = ""; }, "extention length is zero.."},
        {[](SignatureInputs& i) { i.startSignature = ",,"; }, "signature length is zero.."},
        {[](SignatureInputs& i) { i.startSignature = "1,2,3,4,5,6,7,8,9,10,11"; },
         "a signature holds at most 10 bytes.."},
        {[](SignatureInputs& i) { i.endSignature = "1,2,3,4,5,6,7,8,9,10,11"; },
         "a signature holds at most 10 bytes.."},
    };
    for (const Refusal& r : refusals) {
        SignatureInputs i = jpegInputs();
        r.change(i);
        BuiltRecord refused = buildRecord(i, 0);
        EXPECT_FALSE(refused.record);
        EXPECT_EQ(refused.message, r.message);
    }
}

TEST(SignatureFile, EditorAppendsRecordsAndAFreshChoiceEmptiesTheFile) {
    TempDir dir;
    const std::string path = dir.file("mine.sig");
    SignatureFileWriter writer;
    EXPECT_EQ(writer.append(jpegInputs()), "");  // no file chosen: nothing happens
    writeFile(path, std::string(500, 'x'));
    ASSERT_TRUE(writer.create(path));
    EXPECT_EQ(readFile(path).size(), 0u);
    EXPECT_EQ(writer.append(jpegInputs()), "everything initialized well.....");
    SignatureInputs bad = jpegInputs();
    bad.extension = "";
    EXPECT_EQ(writer.append(bad), "extention length is zero..");
    SignatureInputs png = jpegInputs();
    png.extension = "png";
    EXPECT_EQ(writer.append(png), "everything initialized well.....");
    writer.close();

    const std::string bytes = readFile(path);
    ASSERT_EQ(bytes.size(), 2 * kRecordSize);
    EXPECT_EQ(static_cast<unsigned char>(bytes[33]), 0);
    EXPECT_EQ(static_cast<unsigned char>(bytes[kRecordSize + 33]), 1);

    std::vector<SignatureDefinition> defs;
    LoadResult r = loadSignatureFile(path, false, defs);
    ASSERT_TRUE(r.ok) << r.message;
    ASSERT_EQ(defs.size(), 2u);
    EXPECT_EQ(defs[1].extension, u"png");
    EXPECT_EQ(defs[0].format, FormatKind::None);  // a user file follows the signature rules
}

TEST(SignatureFile, LoaderRefusesWhatIsNotASignatureFile) {
    TempDir dir;
    std::vector<SignatureDefinition> defs;
    auto load = [&](const std::string& path, bool isDefault = false) {
        defs.clear();
        return loadSignatureFile(path, isDefault, defs);
    };
    EXPECT_EQ(load(dir.file("missing")).message, "can not open file");
    EXPECT_EQ(load(dir.path()).message, "can not open file");  // a folder

    writeFile(dir.file("short"), std::string(170, '\0'));
    EXPECT_EQ(load(dir.file("short")).message, "not a valid file..");

    // The last record must start at or before 1 MiB.
    std::vector<SignatureFileRecord> many;
    for (int i = 0; i < 6134; ++i) many.push_back(record(static_cast<std::uint8_t>(i)));
    writeRecords(dir.file("big"), many);  // 6134 records: the last starts past 1 MiB
    EXPECT_EQ(load(dir.file("big")).message, "not a valid file..");

    SignatureFileRecord wide = record(0);
    wide.sizeBytes = 9;
    wide.offsetToSize = 2;
    writeRecords(dir.file("wide"), {wide});
    EXPECT_EQ(load(dir.file("wide")).message, "not a valid file..");
    // The default file is not held to that check.
    LoadResult d = load(dir.file("wide"), true);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.loaded, 1u);

    // The last record claims more records than the file holds.
    writeRecords(dir.file("claims"), {record(0), record(5)});
    EXPECT_EQ(load(dir.file("claims")).message, "not a valid file..");

    // Only records up to the last one's index are read.
    writeRecords(dir.file("count"), {record(0, u"aaa"), record(1, u"bbb"), record(1, u"ccc")});
    LoadResult c = load(dir.file("count"));
    EXPECT_TRUE(c.ok);
    ASSERT_EQ(defs.size(), 2u);
    EXPECT_EQ(defs[1].extension, u"bbb");
}

TEST(SignatureFile, DefinitionsTheEngineCannotUseAreLeftOutAndNamed) {
    TempDir dir;
    SignatureFileRecord outside = record(1, u"far");
    outside.offsetToSize = 510;
    outside.sizeBytes = 4;
    SignatureFileRecord noOffset = record(2, u"nof");
    noOffset.sizeBytes = 4;  // offset -1 with a size field
    SignatureFileRecord fine = record(3, u"ok");
    fine.offsetToSize = 508;
    fine.sizeBytes = 4;
    writeRecords(dir.file("f"), {record(0), outside, noOffset, fine});
    std::vector<SignatureDefinition> defs;
    LoadResult r = loadSignatureFile(dir.file("f"), false, defs);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.loaded, 2u);
    EXPECT_EQ(r.message,
              "signature 2 (far) left out: its size field lies outside the first 512 bytes\n"
              "signature 3 (nof) left out: its size field lies outside the first 512 bytes");

    // At most 128 definitions take part, over all files loaded.
    std::vector<SignatureFileRecord> many;
    for (int i = 0; i < 100; ++i) many.push_back(record(static_cast<std::uint8_t>(i)));
    writeRecords(dir.file("many"), many);
    defs.clear();
    EXPECT_TRUE(loadSignatureFile(dir.file("many"), false, defs).ok);
    LoadResult second = loadSignatureFile(dir.file("many"), false, defs);
    EXPECT_EQ(defs.size(), 128u);
    EXPECT_EQ(second.loaded, 28u);
    EXPECT_EQ(second.message,
              "signatures 29 to 100 left out: at most 128 signatures can be used at once");
}

TEST(SignatureFile, DefaultFileIsFoundAndItsTypesAreCarvedByStructure) {
    const std::string path = defaultSignatureFilePath();
    std::vector<SignatureDefinition> defs;
    LoadResult r = loadSignatureFile(path, true, defs);
    ASSERT_TRUE(r.ok) << path << ": " << r.message;
    ASSERT_EQ(defs.size(), defaultSignatureRecords().size());
    for (const SignatureDefinition& d : defs)
        EXPECT_NE(d.format, FormatKind::None)
            << std::string(d.extension.begin(), d.extension.end());
    EXPECT_EQ(readFile(path).size(), defs.size() * kRecordSize);
}
