// The checkpoint envelope: its text, its metadata and checksum rules, the version probe and the
// legacy version-0 reader.

#include <sys/mman.h>
#include <zlib.h>

#include "checkpoint_support.hpp"

namespace ovrel::checkpoint {
namespace {

using testing::bytes_of;

// A length-truncating checksum would see 2^32 + 1 bytes as one.
TEST(Envelope, Crc32CoversPayloadsBeyondFourGibibytes) {
  constexpr std::size_t kSize = (std::size_t{1} << 32) + 1;
  void* zeros = mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (zeros == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB";
  const std::uint32_t whole = checkpoint_crc32({static_cast<const std::uint8_t*>(zeros), kSize});
  munmap(zeros, kSize);
  // The oracle: zlib's own composition of checksums, 1 zero byte then 2^32 by 32 doublings.
  const std::uint8_t zero = 0;
  const uLong one = crc32(0L, &zero, 1);
  uLong block = one;
  z_off_t block_len = 1;
  for (int i = 0; i < 32; ++i) {
    block = crc32_combine(block, block, block_len);
    block_len *= 2;
  }
  const uLong crc = crc32_combine(one, block, block_len);
  EXPECT_EQ(whole, static_cast<std::uint32_t>(crc));
  EXPECT_NE(whole, static_cast<std::uint32_t>(one));
}

TEST(Envelope, FingerprintClockAndChecksumOnTheWayOut) {
  CheckpointEnvelope e;
  e.engine_fingerprint = checkpoint_engine_fingerprint();
  EXPECT_EQ(e.engine_fingerprint.rfind("ovrel-online/0.1.0/", 0), 0u);
  EXPECT_GT(now_unix_ns().value(), 1'600'000'000'000'000'000);
  e.detector_id = "cusum";
  e.payload = bytes_of("abc");
  EXPECT_EQ(encode_checkpoint_envelope(e).error(),
            OvrelError::invalid_input(
                "checkpoint payload crc32 mismatch: expected=0x00000000, observed=0x352441c2"));
}

class EnvelopeText : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(EnvelopeText, DecodesOrIsRefused) {
  const auto& row = GetParam();
  auto envelope = decode_checkpoint_envelope(row.at(0));
  if (!envelope) {
    EXPECT_EQ(envelope.error(), OvrelError::invalid_input(row.at(1)));
  } else {
    EXPECT_EQ(encode_checkpoint_envelope(*envelope).value(), row.at(1));
  }
}

TEST(EnvelopeText, TableIsRead) {
  EXPECT_EQ(test_support::data_rows("checkpoint_envelopes.txt").size(), 43u);
}

INSTANTIATE_TEST_SUITE_P(Table, EnvelopeText,
                         ::testing::ValuesIn(test_support::data_rows("checkpoint_envelopes.txt")));

}  // namespace
}  // namespace ovrel::checkpoint
