// The driver in the test's own process, against the simulated ICD2 on the
// serial module's line (sim/icd2sim_tty.h), on the simulator's clock.
#include <algorithm>
#include <optional>

#include "support/driver_fixture.h"

namespace {

using namespace driver_test;

// ---- Probe and identification

TEST_F(Driver, CandidatesAreTriedFamilyByFamilyUntilOneMatches) {
    // Thousands need other firmware and cost no traffic; then chip ids are read family by family.
    std::string config =
        harness::default_config() +
        "family/aaa/id = 9\nfamily/aaa/firmware/id = 6\nfamily/bbb/id = 7\n"
        "family/bbb/firmware/id = 5\nfamily/bbb/address/chipid/start = 8192\n"
        "family/bbb/id/mask = 1\nprocessor/B/family = bbb\nprocessor/B/id/value = 0\n"
        "processor/SIM16/family = sim16\nprocessor/SIM16/id/value = 1952\n";
    for (int i = 0; i < 3000; ++i) config += "processor/P" + std::to_string(i) + "/family = aaa\n";
    configure(config);
    run({});
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count_lines(log, "3 1 INFO    [tarnwell] [test_device] Device P2999 not"), 1);
    EXPECT_EQ(count_lines(log, "not compatible with current firmware version."), 3000);
    EXPECT_TRUE(ends(sent.substr(0, sent.find(" 3300")),
                     " 02 2A07 4A0000200000000001 2A03"
                     " 4A0000200600000001 4A0000200600000001 06001FFF"));
    EXPECT_EQ(probe.chip_id, 0x0D40);      // the matching family's
    ASSERT_EQ(probe.chip_ids.size(), 2u);  // and each family's own read
    EXPECT_EQ(probe.chip_ids[0].family * 0x10000 + probe.chip_ids[0].address, 0x72000u);
    EXPECT_EQ(probe.chip_ids[1].family * 0x10000 + probe.chip_ids[1].address, 0x32006u);
    EXPECT_EQ(out.find("Programming SIM16A : "), 0u);
    // A match without program start or size, and a missing tty (tried three times), stop the probe.
    for (const auto& [line, code, what] :
         {std::tuple(std::string("family/sim16/address/prog/start = 0\n"), 5, "start"),
          std::tuple(std::string("processor/SIM16A/address/prog/size = 8192\n"), 6, "size")}) {
        configure(without(line));
        run({});
        EXPECT_EQ(result, kNoDevice);
        EXPECT_EQ(1, count_lines(log, error(code, "find_device",
                                            (std::string("Unable to get program memory ") + what +
                                             " for device (SIM16A)")
                                                .c_str())))
            << log;
    }
    sim::mark_missing(tty = "/dev/ttyGONE");
    run({});
    EXPECT_EQ(count_lines(log, "Unbale to open serial port: /dev/ttyGONE Reason: 2 No such"), 3);
}

// test_device names the first check a processor fails, in the order they run.
TEST_F(Driver, TestDeviceNamesTheFirstCheckAProcessorFails) {
    configure(harness::default_config() +
              "family/f8/id = 3\nprocessor/R8/family = f8\nfamily/f9/firmware/id = 6\n"
              "processor/R9/family = f9\nfamily/f1/firmware/id = 5\nfamily/f1/id = 3\n"
              "processor/R1/family = f1\nfamily/f3/firmware/id = 5\n"
              "family/f3/address/chipid/start = 8198\nprocessor/R3/family = f3\n"
              "processor/R4/family = sim16\nprocessor/R4/address/chipid/start = 8193\n"
              "family/f5/firmware/id = 5\nfamily/f5/id = 3\nfamily/f5/address/chipid/start = 8198\n"
              "processor/R5/family = f5\nprocessor/R6/family = sim16\n"
              "processor/R7/family = sim16\nprocessor/R7/id/value = 1\n");
    run({"stuck=id:0x2001=0"}, 'e');  // leaves the ICD2 connected
    ASSERT_EQ(result, 0) << log;
    std::string results;
    for (const char* name : {"R8", "R9", "R1", "R3", "R4", "R5", "R6", "R7", "SIM16A"})
        results += std::to_string(test_device(name, 5)) + " ";
    EXPECT_EQ(results, "8 9 1 3 4 5 6 7 0 ");
}

// ---- The passes

TEST_F(Driver, PlainPassesSendExactlyTheseCommandsAndNoteWhatDecidedThem) {
    run({}, 'p', kSample);
    EXPECT_EQ(result, 0);
    std::string progress = "Programming SIM16A : ";
    for (const char* at : {"0000", "0010", "0020", "2000", "2007", "2100"})
        progress += std::string("\rProgramming SIM16A : ") + at + " Verifying : " + at;
    EXPECT_EQ(out, progress + "\rProgramming SIM16A : Done Verifying : Passed        \n");
    EXPECT_TRUE(holds(kSample));
    // Padded blocks on the wire: the records' words, low byte first, then blank words.
    for (const char* block :
         {"{8312FF308600FF3FFF3FFF3FFF3FFF3F", "{09000A000B000C000D00FF3FFF3FFF3F"})
        EXPECT_NE(sim::wire().find(block), std::string::npos) << block;
    // 8 words in a block, 3 in a padded one, 13 in both; each space's own write and read.
    EXPECT_EQ(sent,
              " 4D 37 34 35 07 01 02 2A03 4A0000200600000001 06001FFF 3300 29 430000000000000008"
              " 470000000000000008 430000001000000008 470000001000000003 430000002000000008"
              " 430000002800000008 47000000200000000D 460000200000000004 4A0000200000000004"
              " 450000200700000001 490000200700000001 440000210000000003 480000210000000003");
    run({}, 'v', kSample, kSample);  // reads only
    EXPECT_TRUE(ends(out, "\rVerifying SIM16A : Passed          \n"));
    EXPECT_TRUE(ends(sent,
                     " 06001FFF 470000000000000008 470000001000000003 47000000200000000D"
                     " 4A0000200000000004 490000200700000001 480000210000000003"));
    // Without transfer/coalesce, records that follow each other still go one by one.
    const std::string following = hex_words(0x2000, {1, 2}) + hex_words(0x2002, {3}) + kHexEnd;
    run({}, 'v', following, following);
    EXPECT_TRUE(ends(sent, " 06001FFF 4A0000200000000002 4A0000200200000001"));
    // What decided a pass: where and what it found, or the missing bound.
    run({"stuck=prog:1=0x3345"}, 'v', kImage, kImage);
    EXPECT_EQ(std::tuple(outcome.difference, outcome.address, outcome.read, outcome.expected),
              std::tuple(true, 1u, 0x3345, 0x2345));
    configure("processor/SIM16A/family = sim16\n" + harness::default_config().substr(0, 30));
    EXPECT_EQ(do_verify(nullptr, "SIM16A", &outcome), 1);
    EXPECT_STREQ(stage_word(outcome.stage), "config");
}

TEST_F(Driver, RecordsOutsideEverySpaceAreSkippedWithAWarning) {
    // Data above 64 KiB (after an extended linear address) is not folded onto low addresses.
    run({}, 'p',
        hex_words(0x3000, {1}) + ":020000040001F9\n" + hex_words(0, {1}) + ":020000040000FA\n" +
            hex_words(1, {2}) + kHexEnd);
    EXPECT_EQ(result, 0);
    const std::string warning =
        "2 5 WARNING [tarnwell] [do_prog] Unable to identify address space from hex file: ";
    EXPECT_EQ(count_lines(log, warning + "3000. Ignoring line."), 1);
    EXPECT_EQ(count_lines(log, warning + "8000. Ignoring line."), 1);
    EXPECT_TRUE(holds(hex_words(0, {0x3FFF, 2}) + kHexEnd));
    RunReport report;  // and the report says so
    report.outcome = &outcome;
    EXPECT_NE(report_line(report).find(",\"skipped\":{\"records\":2,\"first\":12288},"),
              std::string::npos);
}

TEST_F(Driver, VerificationPadsEepromAddressesWithBlanks) {
    configure(harness::default_config() + "processor/SIM16A/address/prog/size = 2048\n" +
              "processor/SIM16A/address/eeprom/start = 2048\n");
    const std::string eeprom = hex_words(0x800, {0x12AB}) + kHexEnd;
    run({"prog.size=0x800", "eeprom.start=0x800"}, 'v', eeprom);
    EXPECT_TRUE(ends(out, "Failed at adress  800 Reads   FF instead of 00AB\n"));
    run({"prog.size=0x800", "eeprom.start=0x800", "fault=checksum 48/block"}, 'v', eeprom, eeprom);
    EXPECT_TRUE(ends(out, "\rVerifying SIM16A : Failed at adress  800, read failed\n"));
}

// ---- Jobs beside programming

TEST_F(Driver, ReadOutProgramsBackUnchangedAndVerifies) {
    run({}, 'r', kImage, kSample);
    ASSERT_EQ(result, 0) << log;
    const std::string read = image;
    EXPECT_TRUE(ends(out, "\rReading SIM16A : Done        \n"));
    auto words = harness::hex_decode(read);
    EXPECT_EQ(words.size(), 8192u + 256 + 4 + 1);
    EXPECT_EQ(words[0x2100], 0xAB);      // EEPROM bytes as words with a high byte of 0
    std::vector<std::string> addresses;  // of the data records: program, ID, config, EEPROM
    std::istringstream lines(read);
    for (std::string line; std::getline(lines, line);)
        if (line.substr(7, 2) == "00") addresses.push_back(line.substr(3, 4));
    EXPECT_TRUE(std::is_sorted(addresses.begin(), addresses.end())) << read;
    // Every space in reads of at most 127 units.
    EXPECT_TRUE(ends(sent,
                     " 4700001FC000000040 48000021000000007F 480000217F0000007F"
                     " 48000021FE00000002 4A0000200000000004 490000200700000001"));
    const std::string dump = harness::write_temp_file("dump.hex", "");
    ASSERT_EQ(sim::memory().dump_hex(dump), "");
    const std::string original = harness::read_file(dump);
    run({}, 'p', read);  // onto an erased part
    EXPECT_EQ(result, 0);
    ASSERT_EQ(sim::memory().dump_hex(dump), "");
    EXPECT_EQ(harness::read_file(dump), original);
    run({}, 'v', read, kSample);
    EXPECT_EQ(result, 0);
}

// ---- Coalesced transfers

// Records of 8 words each from address on, the last word of each telling it.
std::string run_of(uint32_t address, int records) {
    std::string text;
    for (int r = 0; r < records; ++r, address += 8)
        text += hex_words(address, {r, r + 1, r + 2, r + 3, r + 4, r + 5, r + 6, 0x1000 + r});
    return text;
}

TEST_F(Driver, CoalescedRunsMoveInLargerTransfersAndSplitWhereContiguityBreaks) {
    const std::string coalesced =
        harness::default_config() + "processor/SIM16A/transfer/coalesce = 1\n";
    configure(coalesced);
    const std::string image = run_of(0, 20) + run_of(0x2100, 18) + kHexEnd;
    run({}, 'p', image);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(holds(image));
    const std::string eeprom = " 48000021000000007F 480000217F00000011";
    EXPECT_TRUE(ends(sent,
                     " 29 430000000000000078 430000007800000028 47000000000000007F"
                     " 470000007F00000021 44000021000000007F 440000217F00000011" +
                         eeprom));
    EXPECT_TRUE(ends(out,
                     "Programming SIM16A : 0000 Verifying : 0000\rProgramming SIM16A : 2100 "
                     "Verifying : 2100\rProgramming SIM16A : Done Verifying : Passed        \n"));
    run({}, 'v', image, image);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(ends(sent, " 06001FFF 47000000000000007F 470000007F00000021" + eeprom));
    // A gap, a repeat, an extended linear address and another space start a run; tails are padded.
    run({}, 'p',
        run_of(0, 2) + run_of(0x20, 1) + run_of(0x20, 1) + ":020000040000FA\n" + run_of(0x28, 1) +
            run_of(0x1FF8, 1) + hex_words(0x2000, {1, 2, 3}) + hex_words(0x2003, {4}) +
            run_of(0x30, 1) + hex_words(0x38, {1, 2, 3}) + kHexEnd);
    EXPECT_EQ(result, 0) << out;
    EXPECT_TRUE(ends(sent,
                     " 430000002000000008 470000002000000008 430000002800000008"
                     " 470000002800000008 4300001FF800000008 4700001FF800000008"
                     " 460000200000000004 4A0000200000000004 430000003000000008"
                     " 430000003800000008 47000000300000000B"));
    EXPECT_NE(sim::wire().find("{010002000300FF3FFF3FFF3FFF3FFF3F"), std::string::npos);
    // A golden image: what the erase left as it is to be is not written, but read and compared.
    const std::vector<int> blank(8, 0x3FFF);
    const std::string golden = run_of(0, 1) + hex_words(8, blank) + run_of(16, 1) +
                               hex_words(24, blank) + hex_words(0x2100, {0xFF, 0xFF}) + kHexEnd;
    run({"stuck=prog:9=0x1234"}, 'p', golden);
    EXPECT_TRUE(ends(sent, " 29 430000000000000008 430000001000000008 470000000000000020")) << sent;
    EXPECT_TRUE(ends(out, "Verify failed at adress 0009 Reads 1234 instead of 3FFF\n"));
    run({}, 'p', golden);
    EXPECT_TRUE(ends(sent, " 470000000000000020 480000210000000002")) << sent;
    // Where the erase leaves 0, it is the image's zeros that are left to it.
    configure(coalesced + "family/sim16/erased/prog = 0\n");
    run({}, 'p', run_of(0, 1) + hex_words(8, std::vector<int>(8, 0)) + kHexEnd);
    EXPECT_TRUE(ends(sent, " 29 430000000000000008 470000000000000010")) << sent;
    configure(coalesced);
    // A blank block over words an earlier record wrote is written all the same: the later wins.
    const std::string over = run_of(8, 1) + hex_words(0, std::vector<int>(16, 0x3FFF)) + kHexEnd;
    run({}, 'p', over);
    EXPECT_EQ(result, 0) << out;
    EXPECT_TRUE(holds(over));
    // A difference or a failed read inside a run stops where the file's records would have; an
    // EEPROM difference expects the word's byte.
    run({"stuck=eeprom:0x2187=0x00"}, 'p', image);
    EXPECT_TRUE(ends(out, "Verify failed at adress 2187 Reads  0 instead of 10\n"));
    EXPECT_EQ(std::pair(outcome.address, outcome.expected), std::pair(0x2187u, 0x10));
    run({"fault=checksum 47#2/block"}, 'p', image);
    EXPECT_EQ(result, 11);
    EXPECT_TRUE(ends(out, "Verify failed at adress 007F, read failed\n"));
}

// Records out of address order: a later block's filler never replaces a word written before (a
// block from 0005 over a record at 0008, one from 1FFD into the ID words), record by record and
// coalesced, checked on the part. A dead link fails a coalesced run within two waits.
TEST_F(Driver, FillerNeverOverwritesAnEarlierRecordAndADeadLinkFailsFast) {
    const std::string image = hex_words(8, {1, 2, 3, 4, 5, 6, 7, 8}) + hex_words(5, {10, 11, 12}) +
                              hex_words(0x2000, {0x21, 0x22}) + hex_words(0x1FFD, {0x30}) + kHexEnd;
    for (const char* coalesce : {"0\n", "1\n"}) {
        configure(harness::default_config() + "processor/SIM16A/transfer/coalesce = " + coalesce);
        run({}, 'p', image);
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(holds(image)) << coalesce;
        EXPECT_EQ(sim::memory().read(icd2sim::kId, 0x2002), 0x3FFF);
    }
    run({"fault=silence 43#3"}, 'p', run_of(0, 129) + kHexEnd);
    EXPECT_EQ(result, 11);
    EXPECT_LT(sim::elapsed_us(), 10'500'000ULL);  // and the line time of what went before
}

// ---- Real parts: on a part with a calibration word at the end of program memory, calibration
// bits and an unimplemented bit (0x80) in its configuration word, checked on the part's memory.

// The run report's calibration and EEPROM members for the last run, "" when it has none.
std::string kept_members(const PassOutcome& outcome) {
    RunReport report;
    report.outcome = &outcome;
    const std::string line = report_line(report);
    const size_t begin = std::min(line.find("\"calibration\""), line.find("\"eeprom_kept\""));
    return begin == std::string::npos ? "" : line.substr(begin, line.find(",\"result\"") - begin);
}

TEST_F(Driver, RealPartsKeepCalibrationAndEepromAndCompareOnlyTheirBits) {
    const Texts part = {"prog.mask=0x3FFF", "word=prog:0x1FFF=0x3480", "word=config:0x2007=0x3FFD",
                        "implemented=config:0x2007=0x3F7F"};
    const std::string config = harness::default_config();
    // An unimplemented bit fails a whole-word comparison, not a masked one (of the space or of the
    // word); a stuck implemented bit fails both. Differences show the whole words.
    for (const auto& [extra, stuck, tail] :
         {std::tuple<std::string, std::string, std::string>{"", "", "Reads 3F72 instead of 3FF2\n"},
          {"family/sim16/mask/config = 16255\n", "", "Passed        \n"},
          {"processor/SIM16A/mask/at/8199 = 16255\n", "", "Passed        \n"},
          {"family/sim16/mask/config = 16255\n", "stuck=config:0x2007=0x3F70",
           "Reads 3F70 instead of 3FF2\n"}}) {
        configure(config + extra);
        Texts settings = part;
        if (!stuck.empty()) settings.push_back(stuck);
        run(settings, 'p', hex_words(0x2007, {0x3FF2}) + kHexEnd);
        EXPECT_TRUE(ends(out, tail)) << extra;
    }
    configure(
        config +
        "family/sim16/mask/config = 16255\nprocessor/SIM16A/calibration/1/address = 8191\n"
        "processor/SIM16A/calibration/2/address = 8199\nprocessor/SIM16A/calibration/2/mask = 1\n"
        "processor/SIM16A/calibration/3/address = 8199\nprocessor/SIM16A/calibration/3/mask = 2\n");
    // Programmed over by an image without the words and by one with other values there: the part
    // keeps its calibration, and the image verifies.
    const std::string other = kImage.substr(0, kImage.size() - std::string(kHexEnd).size()) +
                              hex_words(0x1FFF, {0x3412}) + kHexEnd;
    for (const std::string& image : {kImage, other}) {
        run(part, 'p', image);
        EXPECT_EQ(result, 0) << out << log;
        EXPECT_EQ(std::pair(sim::memory().read(icd2sim::kProg, 0x1FFF),
                            sim::memory().read(icd2sim::kConfig, 0x2007)),
                  std::pair(std::optional<uint16_t>(0x3480), std::optional<uint16_t>(0x3F71)));
        EXPECT_EQ(kept_members(outcome),
                  "\"calibration\":[{\"address\":8191,\"value\":13440,\"source\":\"device\"},"
                  "{\"address\":8199,\"value\":16253,\"source\":\"device\"}]");
    }
    const std::string dump = harness::write_temp_file("cal.hex", "");
    ASSERT_EQ(sim::memory().dump_hex(dump), "");
    run(part, 'v', other, harness::read_file(dump));
    EXPECT_EQ(result, 0) << out;
    // -e keeps it too, and the part then reads blank.
    run(part, 'e', other, harness::read_file(dump));
    EXPECT_TRUE(ends(out, "Erasing SIM16A : Done\n"));
    ASSERT_EQ(sim::memory().dump_hex(dump), "");
    run(part, 'b', other, harness::read_file(dump));
    EXPECT_EQ(result, 0) << out;
    // A word that lost its calibration refuses before anything is erased; -u gives it.
    const Texts lost = {"word=config:0x2007=0x3FFD"};
    run(lost, 'p');
    EXPECT_EQ(std::tuple(result, stage_word(outcome.stage), sent.find(" 29")),
              std::tuple(11, std::string("calibration"), std::string::npos));
    EXPECT_EQ(count_lines(log, error(27, "do_prog",
                                     "Calibration word at 1FFF reads blank (3FFF); give its value "
                                     "with -u 1FFF=<value>")),
              1);
    keep.calibration = {{0x1FFF, 0x3490}};
    run(lost, 'p');
    EXPECT_EQ(std::pair(result, sim::memory().read(icd2sim::kProg, 0x1FFF)),
              std::pair(0, std::optional<uint16_t>(0x3490)));
    EXPECT_EQ(kept_members(outcome),
              "\"calibration\":[{\"address\":8191,\"value\":13456,\"source\":\"option\"},"
              "{\"address\":8199,\"value\":16381,\"source\":\"device\"}]");
    keep.calibration = {{0x1FFE, 0x3490}};
    run(lost, 'p');
    EXPECT_EQ(count_lines(log, error(26, "do_prog",
                                     "-u 1FFE: SIM16A has no calibration word at that address")),
              1);
    // -k keeps the EEPROM bytes the image does not set and programs the ones it sets.
    configure(config);
    keep = KeepOptions{{}, true};
    run({"word=eeprom:0x2100=0x11", "word=eeprom:0x2102=0x22", "word=eeprom:0x21FF=0x33"}, 'p');
    EXPECT_EQ(result, 0) << log;
    for (auto [address, byte] :
         {std::pair{0x2100, 0xAB}, {0x2101, 0xCD}, {0x2102, 0x22}, {0x21FF, 0x33}})
        EXPECT_EQ(sim::memory().read(icd2sim::kEeprom, address), byte) << address;
    EXPECT_EQ(kept_members(outcome), "\"eeprom_kept\":254");
}

// Memory that cannot be had: a setting's key, a pass's first buffer, or its growth for a coalesced
// run longer than that buffer (1032 words).
TEST_F(Driver, AllocationFailuresEndWithTheirCodeAndLine) {
    failing_in = 1;
    EXPECT_EQ(get_device_config_key("SIM16A", "/address/prog/start"), nullptr);
    configure(harness::default_config() + "processor/SIM16A/transfer/coalesce = 1\n");
    failing_size = 4096;  // the first buffer, 1024 words, and any growth of it
    for (auto [job, nth, code] :
         {std::tuple{'p', 1, 25}, {'v', 1, 14}, {'p', 2, 15}, {'v', 2, 15}}) {
        failing_in = nth;
        run({}, job, run_of(0, 129) + kHexEnd);
        EXPECT_EQ(result, code);
        EXPECT_EQ(count_lines(log, error(code, job == 'p' ? "do_prog" : "do_verify",
                                         "Unable to allocate memory for verification.")),
                  1);
    }
    failing_in = 0, failing_size = 0;
}

}  // namespace

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_realloc(void* block, size_t size);
extern "C" void* __wrap_malloc(size_t size) {
    return driver_test::fails(size) ? nullptr : __real_malloc(size);
}
extern "C" void* __wrap_realloc(void* block, size_t size) {
    return driver_test::fails(size) ? nullptr : __real_realloc(block, size);
}
