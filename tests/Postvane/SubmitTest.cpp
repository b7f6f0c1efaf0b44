#include <gtest/gtest.h>
#include "Submit.h"

TEST(Submit, RefusesNull) {
    SetLastError(0);
    EXPECT_FALSE(SmtpSendMail(nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
}
