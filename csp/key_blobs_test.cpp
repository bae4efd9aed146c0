#include "key_blobs.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(SignedBlock, EachHashIsSignedAsItsDigestInfoOfItsOwnLength) {
  struct Case {
    std::uint32_t alg;
    std::size_t hashLength;
    std::uint32_t flags;
    capi::Status status;
    std::size_t blockLength;  // when signed
  } cases[] = {
      {capi::kSha256, 32, 0, capi::kOk, 19 + 32},
      {capi::kSha1, 20, 0, capi::kOk, 15 + 20},
      {capi::kSha384, 48, 0, capi::kOk, 19 + 48},
      {capi::kSha512, 64, 0, capi::kOk, 19 + 64},
      {capi::kMd5, 16, 0, capi::kOk, 18 + 16},
      {capi::kSsl3ShaMd5, 36, 0, capi::kOk, 36},  // a TLS client's hashes, bare
      {capi::kSha256, 32, capi::kNoHashOid, capi::kOk, 32},
      {capi::kSha256, 20, 0, capi::kBadHash, 0},  // a hash of another length
      {capi::kSha1, 0, 0, capi::kBadHash, 0},
      {capi::kRsaSign, 20, 0, capi::kBadAlgorithm, 0},  // not a hash
      {0x800b, 48, 0, capi::kBadAlgorithm, 0},
  };
  for (const Case& c : cases) {
    const Bytes hash(c.hashLength, 0xab);
    capi::Status status = 1;
    const auto block = csp::SignedBlock(c.alg, hash, c.flags, &status);
    EXPECT_EQ(status, c.status) << std::hex << c.alg;
    EXPECT_EQ(block.has_value(), c.status == capi::kOk) << std::hex << c.alg;
    if (block) {
      EXPECT_EQ(block->size(), c.blockLength) << std::hex << c.alg;
      EXPECT_TRUE(std::equal(hash.begin(), hash.end(), block->end() - hash.size()));
    }
  }
}

TEST(KeyBlobs, APublicKeyBlobCarriesTheKeyLittleEndian) {
  der::RsaPublicKey key{Bytes(256, 0), {0x01, 0x00, 0x01}};
  key.modulus.front() = 0xc1;
  key.modulus.back() = 0x07;
  const Bytes blob = csp::PublicKeyBlob(capi::kRsaKeyExchange, key);
  ASSERT_EQ(blob.size(), 20u + 256);
  EXPECT_EQ((Bytes{blob.begin(), blob.begin() + 20}),
            (Bytes{0x06, 0x02, 0,    0,    0x00, 0xa4, 0,    0,    'R',  'S',
                   'A',  '1',  0x00, 0x08, 0,    0,    0x01, 0x00, 0x01, 0x00}));
  EXPECT_EQ(blob[20], 0x07);
  EXPECT_EQ(blob.back(), 0xc1);

  key.exponent = Bytes(5, 1);  // does not fit RSAPUBKEY
  EXPECT_TRUE(csp::PublicKeyBlob(capi::kRsaSign, key).empty());
  EXPECT_TRUE(csp::PublicKeyBlob(capi::kRsaSign, {{}, {3}}).empty());
}

TEST(KeyBlobs, ASimpleBlobIsReadOnlyWhenItIsOneEncryptedToAnRsaKey) {
  Bytes blob = {0x01, 0x02, 0, 0, 0x03, 0x66, 0, 0, 0x00, 0xa4, 0, 0, 0x11, 0x22, 0x33};
  const auto simple = csp::ParseSimpleBlob(blob);
  ASSERT_TRUE(simple);
  EXPECT_EQ(simple->keyAlg, 0x6603u);  // CALG_3DES
  EXPECT_EQ(simple->encryptedKey, (Bytes{0x33, 0x22, 0x11}));

  const Bytes refused[] = {
      {},
      Bytes(blob.begin(), blob.begin() + 12),                        // no key after the header
      {0x06, 0x02, 0, 0, 0x03, 0x66, 0, 0, 0x00, 0xa4, 0, 0, 0x11},  // a public key blob
      {0x01, 0x02, 0, 0, 0x03, 0x66, 0, 0, 0x01, 0x66, 0, 0, 0x11},  // wrapped with DES
  };
  for (const Bytes& bad : refused)
    EXPECT_FALSE(csp::ParseSimpleBlob(bad)) << bad.size();
}

TEST(KeyBlobs, APlainTextKeyBlobHoldsTheKeyAfterItsLength) {
  const Bytes key = {1, 2, 3};
  const SecretBytes blob = csp::PlainTextKeyBlob(0x6603, key);
  const Bytes bytes(blob.data(), blob.data() + blob.size());
  EXPECT_EQ(bytes, (Bytes{0x08, 0x02, 0, 0, 0x03, 0x66, 0, 0, 3, 0, 0, 0, 1, 2, 3}));
}

TEST(KeyBlobs, WriteOutAsksForTheSizeThenFillsOnlyABufferThatHoldsIt) {
  const Bytes value = {9, 8, 7};
  std::uint32_t length = 0;
  EXPECT_EQ(csp::WriteOut(value, nullptr, &length), capi::kOk);
  EXPECT_EQ(length, 3u);
  std::uint8_t buffer[4] = {0, 0, 0, 0x55};
  length = 2;
  EXPECT_EQ(csp::WriteOut(value, buffer, &length), capi::kMoreData);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(buffer[0], 0);  // untouched
  length = 4;
  EXPECT_EQ(csp::WriteOut(value, buffer, &length), capi::kOk);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ((Bytes{buffer, buffer + 4}), (Bytes{9, 8, 7, 0x55}));
  EXPECT_EQ(csp::WriteOut(value, buffer, nullptr), capi::kInvalidParameter);
}

}  // namespace
