// The purchases the metrics count from the game log's lines, and the
// histograms' and labels' text.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/metrics.h"

namespace {

struct Batch {
    const char* what;
    std::vector<std::string> lines;  // the game log lines that stood at once
    std::map<std::string, int> counted;
};

TEST(PurchaseTally, CountsOnePurchasePerBuyerOfABatchAndNoneRefunded) {
    const Batch batches[] = {
        {"a life in credits and copper",
         {"Deducted 500 credits from Alice for a life.\r\n", "Brakvold: took 1000 copper, account Alice, player Alia.\r\n",
          "Alice purchased a life.\r\n"},
         {{"life", 1}}},
        {"a description in copper only",
         {"Brakvold: took 200 copper, account Bob Smith, player Bobo.\r\n"},
         {{"description", 1}}},
        {"a description in days, a life of another buyer",
         {"Deducted 3 days from Carol for a description.\r\n", "Dave purchased a life.\r\n"},
         {{"description", 1}, {"life", 1}}},
        {"mail-only, sent and refused",
         {"Sent email notification to Sysop that Erin purchased a life.\r\n",
          "Brakvold Plus: the game refused the email notification to Sysop that Finn purchased a description.\r\n"},
         {{"life", 1}, {"description", 1}}},
        {"credits refunded when the copper failed",
         {"Deducted 500 credits from Gus for a description.\r\n", "Refunded 500 credits to Gus for a description.\r\n"},
         {}},
        {"a life the game did not add, refunded",
         {"Deducted 500 credits from Hal for a life.\r\n", "Hal purchased a life.\r\n",
          "Brakvold Plus: the game did not add the life bought by Hal.\r\n", "Refunded 500 credits to Hal for a life.\r\n"},
         {}},
        {"other game log lines",
         {"Brakvold Plus: Note that *only* email (to Sysop) will be sent for purchases.\r\n"},
         {}},
    };
    for (const Batch& batch : batches) {
        app::PurchaseTally tally;
        for (const auto& line : batch.lines) tally.logged(line);
        std::map<std::string, int> counted;
        tally.batch_ended([&](std::string_view kind) { ++counted[std::string(kind)]; });
        EXPECT_EQ(counted, batch.counted) << batch.what;
        EXPECT_FALSE(tally.pending()) << batch.what;
    }
}

TEST(Metrics, HistogramsAreCumulativeAndLabelsEscaped) {
    app::Histogram histogram;
    for (double seconds : {0.00048828125, 0.0009765625, 0.25, 7.0}) histogram.observe(seconds);  // sums exactly
    const std::string text = histogram.render("x_seconds", "X.");
    for (const char* line : {"x_seconds_bucket{le=\"0.0005\"} 1\n", "x_seconds_bucket{le=\"0.001\"} 2\n",
                             "x_seconds_bucket{le=\"0.1\"} 2\n", "x_seconds_bucket{le=\"0.25\"} 3\n",
                             "x_seconds_bucket{le=\"2.5\"} 3\n", "x_seconds_bucket{le=\"+Inf\"} 4\n",
                             "x_seconds_sum 7.25146484375\n", "x_seconds_count 4\n", "# TYPE x_seconds histogram\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " is not in\n" << text;
    EXPECT_EQ(app::label_value("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

}  // namespace
