// Requests the initiator service refuses before it touches any target.
#include "initiator/service.h"
#include "initiator/texts.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tw {
namespace {

TEST(InitiatorRequests, MalformedRequestsGetAClearError) {
    struct Case {
        const char *request;
        int result;
        const char *error;
    };
    const Case cases[] = {
        {R"({})", -EINVAL, kTextInitiatorUnknownOperation},
        {R"({"action":"format"})", -EINVAL, kTextInitiatorUnknownOperation},
        {R"({"action":"login","port":3260,"chapName":"n","chapSecret":"s"})", -EINVAL,
         kTextInitiatorBadRequest},
        {R"({"action":"login","iqn":"iqn.x:y","port":0,"chapName":"n","chapSecret":"s"})", -EINVAL,
         kTextInitiatorBadRequest},
        {R"({"action":"login","iqn":"iqn.x:y","port":70000,"chapName":"n","chapSecret":"s"})",
         -EINVAL, kTextInitiatorBadRequest},
        {R"({"action":"login","iqn":"iqn.x:y","port":3260,"chapName":"n","chapSecret":""})",
         -EINVAL, kTextInitiatorBadRequest},
        {R"({"action":"login","iqn":"iqn.x:y","port":3260,"chapName":"n","chapSecret":7})", -EINVAL,
         kTextInitiatorBadRequest},
        {R"({"action":"devices"})", -ENOENT, kTextInitiatorNoSession},
        {R"({"action":"devices","session":"abc"})", -ENOENT, kTextInitiatorNoSession},
        {R"({"action":"logout","session":"abc"})", -ENOENT, kTextInitiatorNoSession},
        {R"({"action":"write-protect","session":"abc","enable":true})", -ENOENT,
         kTextInitiatorNoSession},
    };
    InitiatorService *service = initiator_service_create();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        JsonValue *request = json_parse_text(c.request);
        ASSERT_NE(request, nullptr);
        JsonValue *reply = initiator_handle_request(service, request);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(json_get_int(reply, "result", 0), c.result);
        EXPECT_STREQ(json_get_string(reply, "error", ""), c.error);
        json_free(reply);
        json_free(request);
    }
    JsonValue *request = json_parse_text(R"({"action":"sessions"})");
    JsonValue *reply = initiator_handle_request(service, request);
    EXPECT_EQ(json_get_int(reply, "result", -1), 0);
    const JsonValue *list = json_get(reply, "sessions");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->kind, JsonKind::Array);
    EXPECT_EQ(json_first(list), nullptr);
    json_free(reply);
    json_free(request);
    initiator_service_destroy(service);
}

} // namespace
} // namespace tw
