// Error texts of connections, results and large objects: their length, their
// copy, and their split into a code and a message.
#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_records.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A bare record of the given kind holding `text` as its error text.
struct TextHolder {
    explicit TextHolder(int32_t kind, const char* text = nullptr) : kind_(kind) {
        switch (kind) {
            case 1: record_ = hr_malloc0(sizeof(Conn_Attrs)); slot_ = &static_cast<Conn_Attrs*>(record_)->error_text; break;
            case 2: record_ = hr_malloc0(sizeof(KVCSParam)); slot_ = &static_cast<KVCSParam*>(record_)->error_text; break;
            case 5: record_ = hr_malloc0(sizeof(KolvaLob_)); slot_ = &static_cast<KolvaLob_*>(record_)->error_text; break;
            default: record_ = hr_malloc0(sizeof(Result)); slot_ = &static_cast<Result*>(record_)->error_text; break;
        }
        *static_cast<int32_t*>(record_) = kind;
        if (text != nullptr) *slot_ = strdup(text);
    }
    ~TextHolder() {
        free(*slot_);
        free(record_);
    }
    void** handle() { return &record_; }

    int32_t kind_;
    void* record_ = nullptr;
    char** slot_ = nullptr;
};

struct Split {
    int status;
    std::string code;      // the six code bytes as written
    std::string message;   // exactly the bytes written
};

// Runs KVC_GetErrorInfo into buffers pre-filled with a marker, so that bytes
// written beyond what the function claims show up.
Split split(void** handle) {
    char code[8];
    char message[300];
    memset(code, '#', sizeof code);
    memset(message, '#', sizeof message);
    Split out;
    out.status = KVC_GetErrorInfo(handle, code, message);
    out.code.assign(code, 6);
    size_t written = 0;
    while (written < sizeof message && message[written] != '#') ++written;
    out.message.assign(message, written);
    EXPECT_EQ(code[6], '#');
    return out;
}

std::string code6(const char* code) { return std::string(code, 6); }

const char kNotice[] = " extern please call Option\n";

}  // namespace

TEST(ErrorInfo, SplitsCodeAndMessage) {
    const std::string long_message = "x" + std::string(254, 'm');           // 255 characters
    const std::string fitting_message = std::string(254, 'f');
    struct Case {
        std::string text;
        int status;
        std::string code;
        std::string message;
    } cases[] = {
        {"[EC027]Error :boom Close Cursor c1  \n", 0, code6("EC027\0"), "Error :boom Close Cursor c1  \n"},
        {"[EC0195]Error when RECIEVING ,Net Recieve Error", 0, "EC0195", "Error when RECIEVING ,Net Recieve Error"},
        // A 20-character server text: 33 message bytes.
        {"no such table: t1 !!", 0, "EC0100", "common error\nno such table: t1 !!"},
        {"[EC027]" + fitting_message, 0, code6("EC027\0"), fitting_message},
        {"[EC0195]" + fitting_message, 0, "EC0195", fitting_message},
        {"[EC027]" + long_message, 2, code6("EC027\0"), long_message.substr(0, 200) + kNotice},
        {"[EC0195]" + long_message, 2, "EC0195", long_message.substr(0, 200) + kNotice},
        {std::string(242, 's'), 0, "EC0100", "common error\n" + std::string(242, 's')},
        {std::string(243, 's'), 2, "EC0100", "common error\n"},
        {"sql:select 1 errinfo: bad \n", 0, "EC0100", "common error\nsql:select 1 errinfo: bad \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        TextHolder conn(1, c.text.c_str());
        Split got = split(conn.handle());
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.code, c.code);
        EXPECT_EQ(got.message, c.message);
    }
}

TEST(ErrorInfo, ItemKeepsTheFullTextOfAShortenedMessage) {
    const std::string message = std::string(300, 'q');
    ErrorItem* item = getErrorItem(("[EC080]" + message).c_str());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->message_length, 227);
    EXPECT_EQ(item->full_length, 300);
    EXPECT_EQ(std::string(item->full_text ? item->full_text : ""), message);
    free_error_item(item);

    item = getErrorItem("[EC080]short");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->full_length, 0);
    EXPECT_EQ(item->full_text, nullptr);
    free_error_item(item);

    EXPECT_EQ(getErrorItem(nullptr), nullptr);
}

TEST(ErrorInfo, MalformedBracketsStayInBounds) {
    // Texts that end inside their code: nothing past the terminator is read.
    const char* texts[] = {"[", "[EC", "[EC027", "[EC0195", "[EC027]", "[EC0195]"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        ErrorItem* item = getErrorItem(text);
        ASSERT_NE(item, nullptr);
        EXPECT_LE(strlen(item->code), 6u);
        EXPECT_EQ(strncmp(item->code, text + 1, strlen(item->code)), 0);
        EXPECT_EQ(item->message_length, 0);
        free_error_item(item);
    }
}

TEST(ErrorInfo, EveryKindThatKeepsText) {
    const char text[] = "[EC097]Error the ReadPos set larger than max_length :16 > :15";
    for (int32_t kind : {1, 4, 5}) {
        SCOPED_TRACE(kind);
        TextHolder holder(kind, text);
        EXPECT_EQ(KVC_GetErrorLen(holder.handle()), static_cast<int>(strlen(text)));
        char buf[128];
        memset(buf, '#', sizeof buf);
        int len = -7;
        EXPECT_EQ(KVC_GetError(holder.handle(), buf, &len), 0);
        EXPECT_EQ(len, static_cast<int>(strlen(text)));
        EXPECT_EQ(std::string(buf, strlen(text)), text);
        EXPECT_EQ(buf[strlen(text)], '#');   // no terminator added
        Split got = split(holder.handle());
        EXPECT_EQ(got.status, 0);
        EXPECT_EQ(got.code, code6("EC097\0"));
    }
}

// Kinds 2 and 6 report nothing (a parameter set keeps a text all the same);
// kinds 1, 4 and 5 without a text report nothing either, and 100.
TEST(ErrorInfo, NothingToReport) {
    struct Case {
        int32_t kind;
        const char* text;
        int info_status;
    } cases[] = {{2, "[EC051]Error invalid param NO 4001 out of range paramnum", 0},
                 {6, "[EC051]x", 0}, {1, nullptr, 100}, {4, nullptr, 100}, {5, nullptr, 100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        TextHolder holder(c.kind, c.text);
        EXPECT_EQ(KVC_GetErrorLen(holder.handle()), 0);
        char buf[8] = "keep";
        int len = 9;
        EXPECT_EQ(KVC_GetError(holder.handle(), buf, &len), 0);
        EXPECT_EQ(len, 9);
        EXPECT_STREQ(buf, "keep");
        Split got = split(holder.handle());
        EXPECT_EQ(got.status, c.info_status);
        EXPECT_EQ(got.code, "######");
        EXPECT_EQ(got.message, "");
    }
    void* nothing = nullptr;
    EXPECT_EQ(KVC_GetErrorLen(&nothing), 0);
    EXPECT_EQ(KVC_GetErrorLen(nullptr), 0);
    EXPECT_EQ(KVC_GetErrorInfo(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(KVC_GetErrorInfoOption(), 0);
}
