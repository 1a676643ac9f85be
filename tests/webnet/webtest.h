// Shared fixture and status-routine recorder of the webnet tests.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "peers.h"
#include "testsupport.h"
#include "webnet.h"

namespace qn::webtest {

// Records every status call; answers 0 at a chosen code (once) and may run an action there.
struct Recorder {
    std::vector<int> codes;
    std::vector<HTRequest*> requests;
    int nZeroAt = INT_MIN;                       // the progress code to answer 0 to
    int nAnswer = 1;                             // the answer otherwise
    std::function<int(int, HTRequest*)> action;  // when set, its result is the answer

    static int Callback(int code, HTRequest* request, void* userData) {
        auto* self = static_cast<Recorder*>(userData);
        self->codes.push_back(code);
        self->requests.push_back(request);
        if (self->action)
            return self->action(code, request);
        if (code == self->nZeroAt)
            return 0;
        return self->nAnswer;
    }
    int Completions() const {
        int n = 0;
        for (int code : codes)
            n += code >= 2000 ? 1 : 0;
        return n;
    }
    int Last() const { return codes.empty() ? INT_MIN : codes.back(); }
};

class WebnetTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(QNINET_OK, QNINetInitialize()); }
    void TearDown() override { EXPECT_EQ(QNINET_OK, QNINetTerminate()); }
    qn::test::TempDir m_tmp;
};

// A file's contents.
inline std::string Slurp(const std::string& path) {
    return qn::test::ReadFile(path);
}

}  // namespace qn::webtest
