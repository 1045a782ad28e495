// The JSON value model: holders, kinds, auto-conversion, copies and moves.
#include "json/json_value.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "json/json_text.h"

namespace sdk {
namespace {

// Overloads that would otherwise be ambiguous or silently pick bool.
static_assert(std::is_constructible<JsonHandle, unsigned>::value, "unsigned");
static_assert(std::is_constructible<JsonHandle, long long>::value, "long long");
static_assert(std::is_constructible<JsonHandle, std::size_t>::value, "size_t");
static_assert(std::is_constructible<JsonHandle, char*>::value, "char*");
static_assert(!std::is_constructible<JsonHandle, int*>::value, "pointers are not bools");
static_assert(!std::is_constructible<JsonHandle, const void*>::value, "pointers are not bools");
static_assert(std::is_nothrow_move_constructible<JsonHandle>::value, "vector growth moves");

TEST(JsonHandle, DefaultIsNull) {
  const JsonHandle h;
  EXPECT_EQ(h.type(), kJsonNull);
  EXPECT_TRUE(h.isNull());
  EXPECT_TRUE(h.isValid());
  EXPECT_EQ(h.size(), -1);
  EXPECT_EQ(toJsonText(h), "null");
}

TEST(JsonHandle, MakeInvalidIsNullButNotValidAndWritesNothing) {
  const JsonHandle h = JsonHandle::makeInvalid();
  EXPECT_EQ(h.type(), kJsonInvalid);
  EXPECT_TRUE(h.isNull());
  EXPECT_FALSE(h.isValid());
  EXPECT_EQ(toJsonText(h), "");
}

TEST(JsonHandle, ConstructorsPickTheKindOfTheArgument) {
  char* mutableText = const_cast<char*>("abc");
  const struct {
    JsonHandle h;
    int type;
    const char* text;
  } cases[] = {
      {JsonHandle(true), kJsonBool, "true"},
      {JsonHandle(false), kJsonBool, "false"},
      {JsonHandle(7), kJsonNumber, "7"},
      {JsonHandle(2.5), kJsonNumber, "2.5"},
      {JsonHandle('A'), kJsonNumber, "65"},  // key codes travel as numbers
      {JsonHandle(4000000000u), kJsonNumber, "4e+09"},
      {JsonHandle(-5LL), kJsonNumber, "-5"},
      {JsonHandle(std::size_t{12}), kJsonNumber, "12"},
      {JsonHandle(0.5f), kJsonNumber, "0.5"},
      {JsonHandle("text"), kJsonString, "\"text\""},
      {JsonHandle(mutableText), kJsonString, "\"abc\""},
      {JsonHandle(std::string("s")), kJsonString, "\"s\""},
      {JsonHandle(static_cast<const char*>(nullptr)), kJsonNull, "null"},
      {JsonHandle(nullptr), kJsonNull, "null"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.h.type(), c.type) << c.text;
    EXPECT_EQ(toJsonText(c.h), c.text);
  }
}

TEST(JsonHandle, WrongKindReadsGiveNeutralValues) {
  JsonHandle array;
  array.append(JsonHandle(1));
  JsonHandle object;
  object.member("y") = JsonHandle(1);
  const JsonHandle holders[] = {object,       array,           JsonHandle(3),
                                JsonHandle(), JsonHandle("x"), JsonHandle::makeInvalid()};
  for (const JsonHandle& h : holders) {
    const JsonHandle missing = h.get("x");
    EXPECT_FALSE(missing.isValid()) << toJsonText(h);
    EXPECT_TRUE(missing.isNull());
    EXPECT_EQ(missing.asInt(), 0);
    EXPECT_FALSE(missing.asBool());
    EXPECT_EQ(missing.asDouble(), 0.0);
    EXPECT_EQ(missing.asString(), "");
    EXPECT_FALSE(h.getRef("x").isValid());
  }
  EXPECT_EQ(JsonHandle("x").asInt(), 0);
  EXPECT_FALSE(JsonHandle(1).asBool());
  EXPECT_EQ(JsonHandle(true).asString(), "");
  EXPECT_EQ(JsonHandle(true).asInt(), 0);
}

TEST(JsonHandle, MemberTurnsNullIntoObject) {
  JsonHandle h;
  JsonHandle& a = h.member("a");
  EXPECT_EQ(h.type(), kJsonObject);
  EXPECT_TRUE(a.isNull());
  EXPECT_TRUE(a.isValid());
  EXPECT_EQ(toJsonText(h), "{\"a\":null}");
  a = JsonHandle(5);
  EXPECT_EQ(toJsonText(h), "{\"a\":5}");
  EXPECT_EQ(h.size(), -1);        // objects do not report a count
  h.member("a") = JsonHandle(6);  // existing member, no second entry
  EXPECT_EQ(toJsonText(h), "{\"a\":6}");
}

TEST(JsonHandle, AppendTurnsNullIntoArray) {
  JsonHandle h;
  h.append(JsonHandle(1));
  const JsonHandle two(2);
  h.append(two);
  EXPECT_EQ(h.type(), kJsonArray);
  EXPECT_EQ(h.size(), 2);
  EXPECT_EQ(toJsonText(h), "[1,2]");
}

TEST(JsonHandle, WritesIntoTheWrongKindChangeNothing) {
  JsonHandle number(3);
  number.setMember("a", JsonHandle(1));
  number.append(JsonHandle(1));
  JsonHandle array;
  array.append(JsonHandle(1));
  array.setMember("a", JsonHandle(1));
  JsonHandle object;
  object.setMember("a", JsonHandle(1));
  object.append(JsonHandle(2));
  EXPECT_EQ(toJsonText(number), "3");
  EXPECT_EQ(toJsonText(array), "[1]");
  EXPECT_EQ(toJsonText(object), "{\"a\":1}");
}

TEST(JsonHandle, MisplacedMemberWriteLeavesSharedHolderInvalid) {
  JsonHandle number(3);
  number.member("a") = JsonHandle(9);
  number.member("a").member("b") = JsonHandle("x");
  number.member("a").append(JsonHandle(1));
  JsonHandle taken = std::move(number.member("a"));
  EXPECT_FALSE(taken.isValid());
  EXPECT_FALSE(sharedInvalidMember().isValid());
  EXPECT_FALSE(sharedInvalidElement().isValid());
  EXPECT_EQ(toJsonText(number), "3");
  // A later lookup of any missing member still reads as absent.
  EXPECT_FALSE(JsonHandle().get("a").isValid());
}

TEST(JsonHandle, SetMemberLastWriteWins) {
  JsonHandle h;
  h.setMember("a", JsonHandle(1));
  const JsonHandle two(2);
  h.setMember("a", two);
  EXPECT_EQ(toJsonText(h), "{\"a\":2}");
  EXPECT_TRUE(h.hasMember("a"));
  EXPECT_FALSE(h.hasMember("A"));  // exact, case-sensitive names
  EXPECT_FALSE(h.hasMember("a "));
}

TEST(JsonHandle, IndexOutOfRangeIsInvalid) {
  JsonHandle h;
  h.append(JsonHandle(10));
  h.append(JsonHandle(20));
  EXPECT_EQ(h.get(1).asInt(), 20);
  EXPECT_EQ(&h.getRef(0), &h.getRef(0));  // no copy
  for (int index : {-1, 2, INT_MAX, INT_MIN}) {
    EXPECT_FALSE(h.get(index).isValid()) << index;
    EXPECT_EQ(&h.getRef(index), &sharedInvalidElement()) << index;
  }
  EXPECT_FALSE(JsonHandle(5).get(0).isValid());
}

TEST(JsonArrayValue, SetElementOnlyInRange) {
  JsonArrayValue array;
  array.append(JsonHandle(1));
  array.setElement(0, JsonHandle(5));
  array.setElement(1, JsonHandle(6));
  array.setElement(-1, JsonHandle(7));
  const JsonHandle eight(8);
  array.setElement(3, eight);
  EXPECT_EQ(array.size(), 1);
  EXPECT_EQ(array.elementAt(0).asInt(), 5);
  EXPECT_FALSE(array.elementAt(1).isValid());
}

TEST(JsonHandle, CopiesAreDeep) {
  JsonHandle source;
  source.member("list").append(JsonHandle(1));
  source.member("name") = JsonHandle("a");
  JsonHandle copy = source;
  copy.member("list").append(JsonHandle(2));
  copy.member("name") = JsonHandle("b");
  JsonHandle fetched = source.get("list");
  fetched.append(JsonHandle(3));
  EXPECT_EQ(source.get("list").size(), 1);
  EXPECT_EQ(source.get("name").asString(), "a");
  EXPECT_EQ(copy.get("list").size(), 2);

  JsonHandle assigned(1);
  assigned = source;
  assigned.member("name") = JsonHandle("c");
  EXPECT_EQ(source.get("name").asString(), "a");
}

TEST(JsonHandle, AssignmentsWithinTheSameTree) {
  JsonHandle h;
  h.member("a").member("b") = JsonHandle(1);
  h = h;  // self-assignment changes nothing
  EXPECT_EQ(toJsonText(h), "{\"a\":{\"b\":1}}");
  h = h.getRef("a");  // a child replaces its parent
  EXPECT_EQ(toJsonText(h), "{\"b\":1}");
  h.setMember("c", h);  // a copy of itself as a member
  EXPECT_EQ(h.get("c").get("b").asInt(), 1);
  JsonHandle list;
  list.append(JsonHandle(1));
  list.append(list);
  list.append(list.getRef(0));
  EXPECT_EQ(toJsonText(list), "[1,[1],1]");
}

TEST(JsonHandle, MovesTransferAndLeaveNull) {
  JsonHandle source("text");
  const std::string* bytes = source.stringRef();
  JsonHandle target(std::move(source));
  EXPECT_EQ(target.stringRef(), bytes);  // the value itself moved
  EXPECT_EQ(source.type(), kJsonNull);   // NOLINT(bugprone-use-after-move)
  source = std::move(target);
  EXPECT_EQ(source.asString(), "text");
  JsonHandle& alias = source;
  source = std::move(alias);
  EXPECT_EQ(source.asString(), "text");
  // Moving a holder into its own value is refused.
  JsonHandle object;
  object.member("a") = JsonHandle(1);
  object.setMember("self", std::move(object));
  object.append(std::move(object));
  EXPECT_EQ(toJsonText(object), "{\"a\":1}");
}

TEST(JsonHandle, StringRefOnlyForStrings) {
  const JsonHandle s("bytes");
  ASSERT_NE(s.stringRef(), nullptr);
  EXPECT_EQ(*s.stringRef(), "bytes");
  EXPECT_EQ(JsonHandle(1).stringRef(), nullptr);
  EXPECT_EQ(JsonHandle().stringRef(), nullptr);
  EXPECT_EQ(JsonHandle::makeInvalid().stringRef(), nullptr);
}

TEST(JsonNumberValue, IntAndDoubleReadings) {
  EXPECT_EQ(JsonHandle(7).asInt(), 7);
  EXPECT_EQ(JsonHandle(7).asDouble(), 7.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    int expected;
  } cases[] = {
      {2.9, 2},
      {-2.9, -2},
      {-0.5, 0},
      {2147483647.0, INT_MAX},
      {2147483647.9, INT_MAX},
      {2147483648.0, INT_MAX},
      {-2147483648.0, INT_MIN},
      {-2147483648.9, INT_MIN},
      {-2147483649.0, INT_MIN},
      {1e300, INT_MAX},
      {-1e300, INT_MIN},
      {inf, INT_MAX},
      {-inf, INT_MIN},
      {nan, 0},
      {-nan, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonHandle(c.value).asInt(), c.expected) << c.value;
}

TEST(JsonContainers, InvalidChildWritesAsNull) {
  JsonHandle h;
  h.member("a") = JsonHandle::makeInvalid();
  EXPECT_EQ(toJsonText(h), "{\"a\":null}");
  JsonHandle list;
  list.append(JsonHandle(1));
  list.append(JsonHandle::makeInvalid());
  list.append(JsonHandle(2));
  EXPECT_EQ(toJsonText(list), "[1,null,2]");
}

TEST(JsonContainers, EmptyContainersWriteAsBrackets) {
  EXPECT_EQ(toJsonText(JsonHandle(std::make_unique<JsonArrayValue>())), "[]");
  EXPECT_EQ(toJsonText(JsonHandle(std::make_unique<JsonObjectValue>())), "{}");
}

TEST(JsonObject, MembersKeepTheirFirstPlaceAndEveryNameIsFound) {
  // Small objects are searched member by member, large ones through an
  // index: both must find every name, replace in place and keep the order.
  for (int count : {3, 8, 9, 200}) {
    JsonHandle built;
    std::string text = "{";
    for (int i = 0; i < count; ++i) {
      const std::string name = "m" + std::to_string(i);
      built.member(name) = JsonHandle(i);
      text += (i != 0 ? ",\"" : "\"") + name + "\":" + std::to_string(i);
    }
    built.setMember("m0", JsonHandle(-1));
    text += ",\"m0\":-1}";
    // Written newest first; the replaced member keeps its first place.
    std::string expected = "{";
    for (int i = count - 1; i > 0; --i) {
      expected += "\"m" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    }
    expected += "\"m0\":-1}";
    const JsonHandle parsed = parseJsonText(text);
    EXPECT_EQ(toJsonText(built), expected);
    EXPECT_EQ(toJsonText(parsed), expected);
    const JsonHandle* const both[] = {&built, &parsed};
    for (const JsonHandle* h : both) {
      for (int i = 1; i < count; ++i) {
        EXPECT_EQ(h->getRef("m" + std::to_string(i)).asInt(), i) << count;
      }
      EXPECT_EQ(h->getRef("m0").asInt(), -1);
      EXPECT_FALSE(h->hasMember("m" + std::to_string(count)));
      EXPECT_FALSE(h->hasMember("m"));
    }
  }
}

TEST(JsonDocument, WritingIntoAParsedDocumentLeavesEveryHolderOwningItsValue) {
  const std::string longText(40, 'x');  // long enough to live on the heap
  const std::string text =
      "{\"list\":[1,2.5,\"" + longText + "\"],\"" + longText + "\":{\"deep\":[true]},\"n\":7}";
  JsonHandle moved;
  JsonHandle copied;
  {
    JsonHandle doc = parseJsonText(text);
    copied = doc;
    const std::string* before = doc.getRef("list").getRef(2).stringRef();
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(*before, longText);
    moved = std::move(doc.member("list"));  // the first write copies the document
    doc.member("n") = JsonHandle(8);
    doc.setMember("added", JsonHandle("a"));
    EXPECT_EQ(toJsonText(doc),
              "{\"added\":\"a\",\"n\":8,\"" + longText + "\":{\"deep\":[true]},\"list\":null}");
  }
  // Both outlive the document they came from.
  EXPECT_EQ(toJsonText(moved), "[1,2.5,\"" + longText + "\"]");
  EXPECT_EQ(toJsonText(copied), "{\"n\":7,\"" + longText +
                                    "\":{\"deep\":[true]},\"list\":[1,2.5,\"" + longText + "\"]}");

  JsonHandle array = parseJsonText("[1,[2],3]");
  const JsonHandle inner = array.get(1);
  array.append(array.getRef(1));  // an element of the document, appended to it
  array.append(JsonHandle(4));
  EXPECT_EQ(toJsonText(array), "[1,[2],3,[2],4]");
  EXPECT_EQ(toJsonText(inner), "[2]");
}

TEST(JsonHandle, SharedHoldersAreSafeFromManyThreads) {
  // Every thread reads missing members and elements, which all resolve to
  // the same shared values; the sanitizers watch for races.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        JsonHandle h;
        h.member("a") = JsonHandle(i);
        JsonHandle missing = h.get("b");
        JsonHandle element = h.get(3);
        JsonHandle moved = std::move(missing);
        if (moved.isValid() || element.isValid() || h.get("a").asInt() != i) std::abort();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace sdk
