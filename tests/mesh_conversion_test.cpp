#include "test_support.h"

TEST(MeshFile, SingleTriangleIs116Bytes) {
  for (bool combine : {true, false}) {
    std::vector<uint8_t> bytes = convertText("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", combine);
    ASSERT_EQ(bytes.size(), 116u);
    ASSERT_NE(verifiedModel(bytes.data(), bytes.size()), nullptr);
  }
}
