// libakrip32.so through its C entry points, with disc images written by the tests.

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "DiscImage.h"
#include "TestEnv.h"
#include "akrip32.h"

namespace {

using testdisc::TrackSpec;

DriveList listDrives(const std::string& images) {
    if (images.empty()) {
        unsetenv("TUNEWRIGHT_CD_IMAGES");
    } else {
        setenv("TUNEWRIGHT_CD_IMAGES", images.c_str(), 1);
    }
    DriveList list;
    std::memset(&list, 0, sizeof list);
    GetCDList(&list);
    return list;
}

// Real drives of the machine come first; images have host adapter 1.
int realDrives(const DriveList& list) {
    int n = 0;
    for (int i = 0; i < list.num; ++i) {
        n += list.drive[i].ha == 0 ? 1 : 0;
    }
    return n;
}

HCDROM imageHandle(const DriveList& list, int image) {
    for (int i = 0; i < list.num; ++i) {
        if (list.drive[i].ha == 1 && list.drive[i].tgt == image) {
            GETCDHAND request;
            std::memset(&request, 0, sizeof request);
            request.size = 12;
            request.ver = 1;
            request.ha = list.drive[i].ha;
            request.tgt = list.drive[i].tgt;
            request.lun = list.drive[i].lun;
            return GetCDHandle(&request);
        }
    }
    return 0;
}

HCDROM openImage(const std::string& cue) {
    return imageHandle(listDrives(cue), 0);
}

struct Reader {
    std::vector<uint8_t> bytes;
    TrackBuffer* buffer;
    explicit Reader(uint32_t capacityFrames)
        : bytes(AKRIP_TRACKBUF_HEADER + capacityFrames * AKRIP_FRAME_BYTES),
          buffer(reinterpret_cast<TrackBuffer*>(bytes.data())) {
        akrip_put_le32(buffer->maxLen, capacityFrames * AKRIP_FRAME_BYTES);
    }
    int32_t read(HCDROM handle, uint32_t start, uint32_t frames) {
        akrip_put_le32(buffer->startFrame, start);
        akrip_put_le32(buffer->numFrames, frames);
        akrip_put_le32(buffer->len, 0xDEAD);
        return ReadCDAudioLBA(handle, buffer);
    }
    std::string delivered() const {
        uint32_t offset = akrip_get_le32(buffer->startOffset);
        return std::string(reinterpret_cast<const char*>(AKRIP_TRACKBUF_DATA(buffer)) + offset,
                           akrip_get_le32(buffer->len));
    }
};

class Akrip32 : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("TUNEWRIGHT_CD_IMAGES"); }
    std::string dir =
        testenv::makeDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(Akrip32, ImagesAreFurtherDrivesNamedByTheirFileName) {
    auto a = testdisc::writeDiscImage(dir, "first", {{75, 440}});
    auto b = testdisc::writeDiscImage(dir, "second disc", {{75, 660}});
    DriveList list = listDrives(a.cue + "::" + dir + "/not-there.cue:" + b.cue);
    int real = realDrives(list);
    ASSERT_EQ(list.num, real + 2);
    EXPECT_EQ(list.drive[real].ha, 1);
    EXPECT_EQ(list.drive[real].tgt, 0);
    EXPECT_EQ(list.drive[real + 1].tgt, 1);
    EXPECT_EQ(list.drive[real + 1].lun, 0);
    EXPECT_EQ(GetAspiLibError(), ALERR_NOERROR);

    char name[100] = "x";
    ASSERT_EQ(GetCDId(imageHandle(list, 1), name, sizeof name), 1);
    EXPECT_STREQ(name, "second disc.cue");
    char shortName[5];
    ASSERT_EQ(GetCDId(imageHandle(list, 0), shortName, sizeof shortName), 1);
    EXPECT_STREQ(shortName, "firs");

    EXPECT_EQ(GetCDId(imageHandle(list, 0), nullptr, 100), 0);
    EXPECT_EQ(GetAspiLibError(), ALERR_BADCDID);
    EXPECT_EQ(GetCDId(0, name, sizeof name), 0);
    EXPECT_EQ(GetAspiLibError(), ALERR_INVALIDHANDLE);
}

std::string cdText(HCDROM handle, int track, int field, int32_t size = 256) {
    std::vector<char> buffer(static_cast<size_t>(size), 'x');
    if (GetCDText(handle, static_cast<uint8_t>(track), field, buffer.data(), size) != 1) {
        return "<failed>";
    }
    return buffer.data();
}

TEST_F(Akrip32, CdTextOfTheDiscAndItsTracks) {
    // Track 2 has no CD-TEXT of its own; the sheet is written in UTF-8.
    auto image = testdisc::writeDiscImage(
        dir, "text", {{75, 440, false, false, "Erstes Stück", "Ann"}, {75, 660}},
        {"Das Album", "Die Band"});
    HCDROM handle = openImage(image.cue);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(cdText(handle, 0, AKRIP_CDTEXT_TITLE), "Das Album");
    EXPECT_EQ(cdText(handle, 0, AKRIP_CDTEXT_PERFORMER), "Die Band");
    EXPECT_EQ(cdText(handle, 1, AKRIP_CDTEXT_TITLE), "Erstes Stück");
    EXPECT_EQ(cdText(handle, 1, AKRIP_CDTEXT_PERFORMER), "Ann");
    EXPECT_EQ(cdText(handle, 2, AKRIP_CDTEXT_TITLE), "");
    EXPECT_EQ(cdText(handle, 3, AKRIP_CDTEXT_TITLE), "") << "no such track";
    EXPECT_EQ(cdText(handle, 1, AKRIP_CDTEXT_COMPOSER), "");
    // Cut to fit, never inside a character: "Erstes St" + "ü" needs 12 bytes.
    EXPECT_EQ(cdText(handle, 1, AKRIP_CDTEXT_TITLE, 11), "Erstes St");
    EXPECT_EQ(cdText(handle, 1, AKRIP_CDTEXT_TITLE, 1), "");

    EXPECT_EQ(cdText(handle, 100, AKRIP_CDTEXT_TITLE), "<failed>");
    EXPECT_EQ(GetAspiLibError(), ALERR_INVALIDPARM);
    EXPECT_EQ(cdText(handle, 1, 42), "<failed>");
    EXPECT_EQ(GetAspiLibError(), ALERR_INVALIDPARM);
    EXPECT_EQ(GetCDText(handle, 1, AKRIP_CDTEXT_TITLE, nullptr, 10), 0);
    EXPECT_EQ(cdText(handle, 1, AKRIP_CDTEXT_TITLE, 0), "<failed>");
    EXPECT_EQ(cdText(0, 1, AKRIP_CDTEXT_TITLE), "<failed>");
    EXPECT_EQ(GetAspiLibError(), ALERR_INVALIDHANDLE);

    // A sheet written in Latin-1 gives the same text in UTF-8.
    auto latin1 = testdisc::writeDiscImage(dir, "latin1", {{75, 440}}, {"Caf\xe9", ""});
    EXPECT_EQ(cdText(openImage(latin1.cue), 0, AKRIP_CDTEXT_TITLE), "Café");

    // A disc without CD-TEXT has empty fields; a cdrdao TOC file carries CD_TEXT blocks.
    auto plain = testdisc::writeDiscImage(dir, "plain", {{75, 440}});
    HCDROM plainHandle = openImage(plain.cue);
    EXPECT_EQ(cdText(plainHandle, 0, AKRIP_CDTEXT_TITLE), "");
    EXPECT_EQ(cdText(plainHandle, 1, AKRIP_CDTEXT_PERFORMER), "");
    testenv::writeFile(dir + "/disc.toc",
                       "CD_DA\nCD_TEXT {\n  LANGUAGE_MAP { 0 : EN }\n  LANGUAGE 0 {\n"
                       "    TITLE \"Toc Album\"\n    PERFORMER \"Toc Band\"\n  }\n}\n"
                       "TRACK AUDIO\nCD_TEXT {\n  LANGUAGE 0 {\n    TITLE \"Toc Song\"\n  }\n}\n"
                       "FILE \"" +
                           plain.bin + "\" 0\n");
    HCDROM tocHandle = openImage(dir + "/disc.toc");
    ASSERT_NE(tocHandle, 0u);
    EXPECT_EQ(cdText(tocHandle, 0, AKRIP_CDTEXT_TITLE), "Toc Album");
    EXPECT_EQ(cdText(tocHandle, 0, AKRIP_CDTEXT_PERFORMER), "Toc Band");
    EXPECT_EQ(cdText(tocHandle, 1, AKRIP_CDTEXT_TITLE), "Toc Song");
}

TEST_F(Akrip32, NoDriveAndNoImageGivesAnEmptyList) {
    DriveList list = listDrives("");
    if (list.num > 0) {
        GTEST_SKIP() << "this machine has a CD drive";
    }
    EXPECT_EQ(GetAspiLibError(), ALERR_NOWNASPI);
    list = listDrives(dir + "/missing.cue");
    EXPECT_EQ(list.num, 0);
}

TEST_F(Akrip32, HandleRequestsAreChecked) {
    auto image = testdisc::writeDiscImage(dir, "disc", {{75, 440}});
    DriveList list = listDrives(image.cue);
    int real = realDrives(list);
    GETCDHAND request;
    std::memset(&request, 0, sizeof request);
    request.size = 12;
    request.ver = 1;
    request.ha = 1;

    request.size = 11;
    EXPECT_EQ(GetCDHandle(&request), 0u);
    EXPECT_EQ(GetAspiLibError(), ALERR_INVALIDVERSION);
    request.size = 12;
    request.ver = 2;
    EXPECT_EQ(GetCDHandle(&request), 0u);
    EXPECT_EQ(GetAspiLibError(), ALERR_INVALIDVERSION);
    request.ver = 1;
    request.tgt = 7;
    EXPECT_EQ(GetCDHandle(&request), 0u);
    EXPECT_EQ(GetAspiLibError(), ALERR_BADHATGTLUN);
    EXPECT_EQ(GetCDHandle(nullptr), 0u);
    EXPECT_EQ(GetAspiLibError(), ALERR_INVALIDPARM);

    request.tgt = 0;
    HCDROM first = GetCDHandle(&request);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(GetAspiLibError(), ALERR_NOERROR);
    EXPECT_EQ(GetCDHandle(&request), first) << "one handle per drive";
    EXPECT_EQ(real + 1, list.num);
}

TEST_F(Akrip32, MinuteSecondFrameAddressesAreAbsolute) {
    auto image = testdisc::writeDiscImage(
        dir, "disc", {{130, 440}, {1, 660}, {27, 880}, {4500 * 2 + 10, 0, true}});
    HCDROM handle = openImage(image.cue);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(ModifyCDParms(handle, CDP_MSF, 1), 1);
    TocRecord toc;
    std::memset(&toc, 0, sizeof toc);
    ASSERT_EQ(ReadTOC(handle, &toc), 1);
    EXPECT_EQ(toc.firstTrack, 1);
    EXPECT_EQ(toc.lastTrack, 4);
    // Track 1 at 00:02:00; 130 frames later 00:03:55; the lead-out after the
    // 2-minute data track.
    const uint8_t expected[5][4] = {
        {0, 0, 2, 0}, {0, 0, 3, 55}, {0, 0, 3, 56}, {0, 0, 4, 8}, {0, 2, 4, 18}};
    for (int k = 0; k < 5; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(0, std::memcmp(toc.tracks[k].addr, expected[k], 4));
    }
    EXPECT_EQ(toc.tracks[0].trackNumber, 1);
    EXPECT_EQ(toc.tracks[3].trackNumber, 4);
    EXPECT_EQ(toc.tracks[4].trackNumber, AKRIP_LEADOUT_TRACK);
    EXPECT_EQ(toc.tracks[0].adrCtrl, 0x10);
    EXPECT_EQ(toc.tracks[3].adrCtrl, 0x14) << "data track";
    EXPECT_EQ(toc.tracks[5].addr[2], 0) << "nothing after the lead-out";
}

TEST_F(Akrip32, BlockAddressesStartAtZeroAndAreBigEndian) {
    // 70000 = 0x00011170 frames of silence, then a short tone.
    auto image = testdisc::writeDiscImage(dir, "long", {{70000, 0, false, true}, {75, 440}});
    HCDROM handle = openImage(image.cue);
    ASSERT_EQ(ModifyCDParms(handle, CDP_MSF, 0), 1);
    TocRecord toc;
    std::memset(&toc, 0xFF, sizeof toc);
    ASSERT_EQ(ReadTOC(handle, &toc), 1);
    const uint8_t zero[4] = {0, 0, 0, 0};
    const uint8_t second[4] = {0x00, 0x01, 0x11, 0x70};
    const uint8_t leadOut[4] = {0x00, 0x01, 0x11, 0xBB};
    EXPECT_EQ(0, std::memcmp(toc.tracks[0].addr, zero, 4));
    EXPECT_EQ(0, std::memcmp(toc.tracks[1].addr, second, 4));
    EXPECT_EQ(0, std::memcmp(toc.tracks[2].addr, leadOut, 4));
    EXPECT_EQ(toc.tracks[3].trackNumber, 0) << "the record is cleared past the lead-out";
    EXPECT_EQ(toc.tocLen[0] | (toc.tocLen[1] << 8), 2 + 8 * 3);
}

TEST_F(Akrip32, ReadsAreSampleExactAndNeverPassTheLeadOut) {
    auto image = testdisc::writeDiscImage(dir, "disc", {{130, 440}, {1, 660}, {27, 880}});
    std::string bin = testenv::readFile(image.bin);
    HCDROM handle = openImage(image.cue);
    ASSERT_NE(handle, 0u);
    // Reading before any table of contents works: the handle opens the disc itself.
    Reader reader(26);
    std::string all;
    for (uint32_t block = 0; block < 158; block += 26) {
        uint32_t n = std::min<uint32_t>(26, 158 - block);
        ASSERT_EQ(reader.read(handle, block, n), 1) << block;
        EXPECT_EQ(akrip_get_le32(reader.buffer->status), 0u);
        EXPECT_EQ(akrip_get_le32(reader.buffer->startOffset), 0u);
        all += reader.delivered();
    }
    EXPECT_EQ(all, bin);

    EXPECT_EQ(reader.read(handle, 157, 2), 0);
    EXPECT_EQ(GetAspiLibError(), ALERR_ASPI);
    EXPECT_EQ(akrip_get_le32(reader.buffer->status), static_cast<uint32_t>(ALERR_ASPI));
    EXPECT_EQ(akrip_get_le32(reader.buffer->len), 0u);
    EXPECT_EQ(reader.read(handle, 158, 1), 0) << "the lead-out itself";
    EXPECT_EQ(reader.read(handle, 0xFFFFFFFFu, 1), 0);
    EXPECT_EQ(reader.read(handle, 0, 27), 0);
    EXPECT_EQ(GetAspiLibError(), ALERR_BUFTOOSMALL);
    EXPECT_EQ(reader.read(handle, 157, 1), 1);
    EXPECT_EQ(reader.delivered(), bin.substr(157 * 2352));
    EXPECT_EQ(reader.read(handle + 1000, 0, 1), 0);
    EXPECT_EQ(GetAspiLibError(), ALERR_INVALIDHANDLE);
    EXPECT_EQ(ReadCDAudioLBA(handle, nullptr), 0);
}

TEST_F(Akrip32, BrokenImagesReadLikeADriveWithoutDisc) {
    auto missing = testdisc::writeDiscImage(dir, "missing", {{75, 440}});
    std::remove(missing.bin.c_str());
    // The cue sheet names a second track 10 s in, but the BIN ends after 2 s.
    auto shortBin = testdisc::writeDiscImage(dir, "short", {{150, 440}});
    testenv::writeFile(shortBin.cue, "FILE \"short.bin\" BINARY\n  TRACK 01 AUDIO\n"
                                     "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
                                     "    INDEX 01 00:10:00\n");

    for (const std::string& cue : {missing.cue, shortBin.cue}) {
        SCOPED_TRACE(cue);
        HCDROM handle = openImage(cue);
        ASSERT_NE(handle, 0u) << "the image is still a drive";
        TocRecord toc;
        std::memset(&toc, 0x5A, sizeof toc);
        EXPECT_EQ(ReadTOC(handle, &toc), 0);
        EXPECT_EQ(GetAspiLibError(), ALERR_ASPI);
        EXPECT_EQ(toc.firstTrack, 0x5A) << "the record is left alone";
        Reader reader(1);
        EXPECT_EQ(reader.read(handle, 0, 1), 0);
    }
}

TEST_F(Akrip32, ShortLastTrackEndsWhereTheDataEnds) {
    auto image = testdisc::writeDiscImage(dir, "cut", {{75, 440}, {75, 660}});
    // Cut the BIN in the middle of a frame of track 2: the partial frame is not audio.
    ASSERT_EQ(0, truncate(image.bin.c_str(), (75 + 40) * 2352 + 1000));
    HCDROM handle = openImage(image.cue);
    TocRecord toc;
    ModifyCDParms(handle, CDP_MSF, 0);
    ASSERT_EQ(ReadTOC(handle, &toc), 1);
    EXPECT_EQ(akrip_get_be32(toc.tracks[2].addr), 115u);
    Reader reader(2);
    EXPECT_EQ(reader.read(handle, 114, 1), 1);
    EXPECT_EQ(reader.read(handle, 114, 2), 0);
}

TEST_F(Akrip32, TrackOfZeroFramesAndRewrittenImages) {
    auto image = testdisc::writeDiscImage(dir, "disc", {{75, 440}, {75, 660}});
    HCDROM handle = openImage(image.cue);
    TocRecord toc;
    ASSERT_EQ(ReadTOC(handle, &toc), 1);
    EXPECT_EQ(toc.lastTrack, 2);

    // The same file now holds a disc whose first track has no frames.
    testdisc::writeDiscImage(dir, "disc", {{0, 440}, {75, 660}, {30, 880}});
    ModifyCDParms(handle, CDP_MSF, 0);
    ASSERT_EQ(ReadTOC(handle, &toc), 1) << "the table is read afresh";
    EXPECT_EQ(toc.lastTrack, 3);
    EXPECT_EQ(akrip_get_be32(toc.tracks[0].addr), 0u);
    EXPECT_EQ(akrip_get_be32(toc.tracks[1].addr), 0u);
    EXPECT_EQ(akrip_get_be32(toc.tracks[3].addr), 105u);
    Reader reader(1);
    EXPECT_EQ(reader.read(handle, 0, 0), 1);
    EXPECT_EQ(akrip_get_le32(reader.buffer->len), 0u);
}

TEST_F(Akrip32, ModifyCDParmsKnowsOnlyTheAddressMode) {
    auto image = testdisc::writeDiscImage(dir, "disc", {{75, 440}});
    HCDROM handle = openImage(image.cue);
    EXPECT_EQ(ModifyCDParms(handle, 35, 1), 0);
    EXPECT_EQ(GetAspiLibError(), ALERR_NOTIMPL);
    EXPECT_EQ(ModifyCDParms(0, CDP_MSF, 1), 0);
    EXPECT_EQ(GetAspiLibError(), ALERR_INVALIDHANDLE);
    EXPECT_EQ(ModifyCDParms(handle, CDP_MSF, 1), 1);
    EXPECT_EQ(GetAspiLibError(), ALERR_NOERROR);
}

TEST(Akrip32Library, ExportsOnlyItsEightEntryPoints) {
    std::string out = testenv::root() + "symbols.txt";
    ASSERT_EQ(testenv::run("nm -D --defined-only '" + testenv::appDir() +
                           "libakrip32.so' | awk '$2 ~ /^[TDBRW]$/ {print $3}' | sort > '" + out +
                           "'"),
              0);
    EXPECT_EQ(testenv::readFile(out), "GetAspiLibError\nGetCDHandle\nGetCDId\nGetCDList\n"
                                      "GetCDText\nModifyCDParms\nReadCDAudioLBA\nReadTOC\n");
}

} // namespace
