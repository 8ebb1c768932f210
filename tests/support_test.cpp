// Tests of the support library: failure frames, allocation, column matrices.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/alloc.h"
#include "support/alloc2d.h"
#include "support/error.h"
#include "test_util.h"

namespace {

// The frame main prints for a fatal code, and the exit status: its low eight
// bits.
TEST(FatalTest, FrameAndExitStatus) {
  struct fatal_case {
    int code;
    int status;
    const char* frame;
  };
  const fatal_case cases[] = {
      {-70, 186,
       "\nFatal error 70: Non-numerical data in line 3 column 1 (columns count from 0).\n"
       "Program halted.\n\n"},
      {-300, 212,
       "\nFatal error 300: Non-numerical data in line 3 column 1 (columns count from 0).\n"
       "Program halted.\n\n"},
      {-200, 56, nullptr},
      {-1, 255, nullptr},
      {-120, 136, nullptr},
  };
  for (const fatal_case& c : cases) {
    EXPECT_EQ(fatal_exit_status(c.code), c.status) << "code " << c.code;
    if (c.frame == nullptr) continue;
    EXPECT_EQ(fatal_frame(c.code, "Non-numerical data in line 3 column 1 (columns count from 0)"),
              c.frame);
  }
}

TEST(FatalTest, ThrowsCodeAndWholeMessage) {
  EXPECT_TRUE(throws_fatal([] { fatal(-70, "Non-numerical data"); }, -70, "Non-numerical data"));
  static const std::string long_name(5000, 'x');
  EXPECT_TRUE(throws_fatal([] { fatal_format(-1, "Cannot open input file %s", long_name.c_str()); },
                           -1, "Cannot open input file " + long_name));
}

TEST(WarningTest, Frame) {
  EXPECT_EQ(warning_frame(-110, compose_message("Inconsistent number of columns in line %d "
                                                "(non-fatal)",
                                                7)
                                    .c_str()),
            "\nWarning 110: Inconsistent number of columns in line 7 (non-fatal).\n");
}

TEST(AllocTest, ZeroBytesIsNotExhaustion) {
  void* memory = xmalloc(0);
  EXPECT_NE(memory, nullptr);
  memory = xrealloc(memory, 0);
  EXPECT_NE(memory, nullptr);
  free(memory);
}

TEST(AllocTest, ExhaustionIsFatal99) {
  EXPECT_TRUE(throws_fatal([] { xmalloc(SIZE_MAX / 2); }, -99, "Alloc: Virtual memory exhausted"));
  EXPECT_TRUE(throws_fatal([] { xrealloc(nullptr, SIZE_MAX / 2); }, -99,
                           "ReAlloc: Virtual memory exhausted"));
}

TEST(ColumnMatrixTest, RowsLieOneAfterAnotherInOneBlock) {
  column_matrix matrix = allocate_double_matrix(3, 4);
  ASSERT_NE(matrix, nullptr);
  for (int r = 0; r < 3; r++) EXPECT_EQ(matrix[r], matrix[0] + 4 * r);
  for (int k = 0; k < 12; k++) matrix[0][k] = k;  // the whole block is writable
  EXPECT_EQ(matrix[2][3], 11.0);
  free_double_matrix(matrix);

  int_column_matrix integers = allocate_int_matrix(2, 5);
  ASSERT_NE(integers, nullptr);
  EXPECT_EQ(integers[1], integers[0] + 5);
  free_int_matrix(integers);
}

TEST(ColumnMatrixTest, EmptyOrImpossibleShapesGiveNull) {
  const int32_t shapes[][2] = {{0, 4}, {3, 0}, {0, 0}, {-1, 4}, {3, -4}, {INT32_MAX, INT32_MAX}};
  for (const auto& shape : shapes) {
    EXPECT_EQ(allocate_double_matrix(shape[0], shape[1]), nullptr) << shape[0] << " x " << shape[1];
    EXPECT_EQ(allocate_int_matrix(shape[0], shape[1]), nullptr) << shape[0] << " x " << shape[1];
  }
  free_double_matrix(nullptr);
  free_int_matrix(nullptr);
}

}  // namespace
