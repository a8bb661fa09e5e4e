#include "json/json_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/literal.h"

using namespace lumora::json;
using namespace lumora::text::literals;

namespace {

JsonDocument parsed(std::string_view text, RootKind kind = RootKind::object) {
  JsonDocument doc(kind);
  EXPECT_TRUE(doc.Parse(text)) << text;
  return doc;
}

// ---------------------------------------------------------------------------
// Reading with conversion

TEST(JsonDocumentRead, GetTextConvertsEachKind) {
  JsonDocument doc =
      parsed(R"({"t":true,"f":false,"i":123,"neg":-7,"big":18446744073709551615,"r":2.5,)"
             R"("o":{"a":1,"b":[1,"x"]},"s":"text","n":null})");
  struct Case {
    const char* path;
    std::string expected;
  };
  const Case cases[] = {
      {"t", "真"_gbk},
      {"f", "假"_gbk},
      {"i", "123"},
      {"neg", "-7"},
      {"big", "18446744073709551615"},
      {"r", "2.5"},
      {"o", R"({"a":1,"b":[1,"x"]})"},
      {"o/b", R"([1,"x"])"},
      {"s", "text"},
      {"n", ""},
      {"missing", ""},
      {"o/a/deeper", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(doc.GetText(c.path), c.expected) << c.path;
}

TEST(JsonDocumentRead, NumericGettersFollowTheLeadingIntegerRule) {
  JsonDocument doc = parsed(R"({"s":" -42abc","plus":"+7x","r":3.9,"nr":-3.9,"t":true,"huge":1e30,)"
                            R"("i64":9007199254740993,"wide":4294967297,"num":"2.75kg"})");
  EXPECT_EQ(doc.GetInt("s"), -42);
  EXPECT_EQ(doc.GetInt("plus"), 7);
  EXPECT_EQ(doc.GetInt("r"), 3);
  EXPECT_EQ(doc.GetInt("nr"), -3);
  EXPECT_EQ(doc.GetInt("t"), 0);
  EXPECT_EQ(doc.GetInt64("huge"), 0);  // out of range never reads as garbage
  EXPECT_EQ(doc.GetInt64("i64"), 9007199254740993LL);
  EXPECT_EQ(doc.GetInt("wide"), 1);  // the low 32 bits
  EXPECT_EQ(doc.GetInt("missing"), 0);
  EXPECT_DOUBLE_EQ(doc.GetNumber("num"), 2.75);
  EXPECT_DOUBLE_EQ(doc.GetNumber("i64"), 9007199254740993.0);
  EXPECT_TRUE(doc.GetBool("t"));
  EXPECT_FALSE(doc.GetBool("s"));
  EXPECT_EQ(doc.TypeAt("r"), JsonValueType::number);
  EXPECT_EQ(doc.NumberKindAt("r"), NumberKind::real);
  EXPECT_EQ(doc.NumberKindAt("wide"), NumberKind::integer);
  EXPECT_EQ(doc.NumberKindAt("s"), NumberKind::not_number);
  EXPECT_EQ(doc.TypeAt("missing"), JsonValueType::none);
}

TEST(JsonDocumentRead, GbkBytesRoundTripUnchanged) {
  // "张三" and "礼物" in GBK: not valid UTF-8, kept as they are.
  const std::string text = "{\"name\":\"\xD5\xC5\xC8\xFD\",\"list\":[\"\xC0\xF1\xCE\xEF\"]}";
  JsonDocument doc = parsed(text);
  EXPECT_EQ(doc.ToText(), text);
  EXPECT_EQ(doc.GetText("name"), "张三"_gbk);
  EXPECT_EQ(doc.GetText("list"), "[\"\xC0\xF1\xCE\xEF\"]");

  JsonDocument built;
  ASSERT_TRUE(built.SetText("gift", "礼物"_gbk));
  EXPECT_EQ(built.ToText(), "{\"gift\":\"" + "礼物"_gbk + "\"}");

  // Explicit strict flags refuse the same bytes.
  JsonDocument strict;
  EXPECT_FALSE(strict.Parse(text, 0u));
}

TEST(JsonDocumentRead, ErrorTextExplainsABadParse) {
  JsonDocument doc;
  EXPECT_FALSE(doc.Parse("{\"a\":1,}x"));
  EXPECT_EQ(doc.ErrorText(), "");  // no error record was asked for

  ASSERT_TRUE(doc.EnableErrorInfo());
  EXPECT_FALSE(doc.Parse("{\"a\":1,]"));
  std::size_t position = 0;
  std::string error = doc.ErrorText(&position);
  EXPECT_EQ(error.rfind("错误类型: "_gbk, 0), 0u) << error;
  EXPECT_NE(error.find("\r\n" + "错误位置: "_gbk + std::to_string(position)), std::string::npos);
  EXPECT_NE(error.find("\r\n" + "错误原因: "_gbk), std::string::npos);
  EXPECT_GT(position, 0u);
  EXPECT_EQ(doc.Root(), nullptr);
  EXPECT_EQ(doc.GetText("a"), "");
  EXPECT_FALSE(doc.SetInt("a", 1));  // no document, nothing to write into

  EXPECT_TRUE(doc.Parse("{}"));
  EXPECT_EQ(doc.ErrorText(&position), "");
  EXPECT_EQ(position, 0u);
}

TEST(JsonDocumentRead, PointerEscapesAddressSlashAndTilde) {
  JsonDocument doc;
  ASSERT_TRUE(doc.SetText("a~1b", "slash"));
  ASSERT_TRUE(doc.SetText("m~0n", "tilde"));
  EXPECT_EQ(doc.ToText(), R"({"a/b":"slash","m~n":"tilde"})");
  EXPECT_EQ(doc.GetText("a~1b"), "slash");
  EXPECT_EQ(doc.GetText("m~0n"), "tilde");
  EXPECT_EQ(doc.GetText("a/b"), "");
}

TEST(JsonDocumentRead, MemberNamesNeedingEscapesAreWrittenEscaped) {
  // Short and long names through the single-name fast path.
  struct Case {
    std::string name;
    std::string json;
  };
  const Case cases[] = {
      {"a\"b", R"({"a\"b":1})"},
      {"\\", R"({"\\":1})"},
      {"x\x01", R"({"x\u0001":1})"},
      {"tab\there", R"({"tab\there":1})"},
      {"quote\"in a long name", R"({"quote\"in a long name":1})"},
      {"long name with a backslash \\ late", R"({"long name with a backslash \\ late":1})"},
      {"\x7F", "{\"\x7F\":1}"},
      {"\xD5\xC5", "{\"\xD5\xC5\":1}"},  // GBK bytes stay as they are
      {"plain_name", R"({"plain_name":1})"},
  };
  for (const Case& c : cases) {
    JsonDocument doc;
    ASSERT_TRUE(doc.SetInt(c.name, 1)) << c.json;
    EXPECT_EQ(doc.ToText(), c.json);
    EXPECT_EQ(doc.GetInt(c.name), 1) << c.json;
  }
}

// ---------------------------------------------------------------------------
// Writing at paths

TEST(JsonDocumentWrite, SettersCreateMissingContainers) {
  JsonDocument doc;
  ASSERT_TRUE(doc.SetText("a/b", "x"));
  EXPECT_EQ(doc.ToText(), R"({"a":{"b":"x"}})");

  JsonDocument with_array;
  ASSERT_TRUE(with_array.SetText("a/0", "x"));
  EXPECT_EQ(with_array.ToText(), R"({"a":["x"]})");
  ASSERT_TRUE(with_array.SetInt("a/-", 5));
  ASSERT_TRUE(with_array.SetBool("a/2/ok", true));
  EXPECT_EQ(with_array.ToText(), R"({"a":["x",5,{"ok":true}]})");

  // An existing value is replaced, whatever its kind.
  ASSERT_TRUE(with_array.SetNull("a/0"));
  ASSERT_TRUE(with_array.SetNumber("a/1", 1.5));
  EXPECT_EQ(with_array.ToText(), R"({"a":[null,1.5,{"ok":true}]})");
}

TEST(JsonDocumentWrite, UnplaceableSetsFailAndLeaveTheDocumentAlone) {
  JsonDocument doc = parsed(R"({"uid":5,"list":[1]})");
  EXPECT_FALSE(doc.SetText("uid/x", "v"));    // through a scalar
  EXPECT_FALSE(doc.SetText("list/3", "v"));   // past the end of an array
  EXPECT_FALSE(doc.SetText("fresh/1", "v"));  // a new array has no element 1
  EXPECT_FALSE(doc.SetText("fresh/0/deep/2", "v"));
  EXPECT_FALSE(doc.ReplaceInt("list", 1, 9));  // replace out of range
  EXPECT_FALSE(doc.ReplaceInt("missing", 0, 9));
  EXPECT_FALSE(doc.AppendInt("uid", 1));  // no array there
  EXPECT_EQ(doc.ToText(), R"({"uid":5,"list":[1]})");
  EXPECT_TRUE(doc.ReplaceText("list", 0, "one"));
  EXPECT_EQ(doc.GetText("list/0"), "one");
}

TEST(JsonDocumentWrite, AppendDocumentCreatesTheArrayAndCopies) {
  JsonDocument list;
  JsonDocument command;
  command.SetText("cmd", "go");
  command.SetInt("n", 2);
  ASSERT_TRUE(list.AppendDocument("gameCmdDataList", command));
  command.SetText("cmd", "changed");  // the list holds a copy
  EXPECT_EQ(list.ToText(), R"({"gameCmdDataList":[{"cmd":"go","n":2}]})");

  ASSERT_TRUE(list.InsertJson("gameCmdDataList", 0, R"([1,{"k":null}])"));
  ASSERT_TRUE(list.AppendNull("gameCmdDataList"));
  EXPECT_FALSE(list.AppendJson("gameCmdDataList", "{broken"));
  EXPECT_EQ(list.ToText(), R"({"gameCmdDataList":[[1,{"k":null}],{"cmd":"go","n":2},null]})");
}

TEST(JsonDocumentWrite, RemoveSwapAndRemoveElements) {
  JsonDocument doc = parsed(R"({"a":{"x":1,"y":[1,2,3,4,5]},"b":"B"})");
  EXPECT_TRUE(doc.RemoveAt("a/x"));
  EXPECT_FALSE(doc.RemoveAt("a/x"));
  EXPECT_TRUE(doc.RemoveAt("a/y/0"));
  EXPECT_FALSE(doc.RemoveAt(""));
  EXPECT_EQ(doc.ToText(), R"({"a":{"y":[2,3,4,5]},"b":"B"})");

  EXPECT_TRUE(doc.RemoveElements("a/y", 1, 2));
  EXPECT_EQ(doc.GetText("a/y"), "[2,5]");
  EXPECT_TRUE(doc.RemoveElements("a/y", 1, 10));  // to the end
  EXPECT_FALSE(doc.RemoveElements("a/y", 1));
  EXPECT_EQ(doc.GetText("a/y"), "[2]");

  EXPECT_TRUE(doc.SwapAt("a", "b"));
  EXPECT_EQ(doc.ToText(), R"({"a":"B","b":{"y":[2]}})");
  // A container cannot swap with a value inside it (that would be a cycle).
  EXPECT_FALSE(doc.SwapAt("b", "b/y/0"));
  EXPECT_FALSE(doc.SwapAt("a", "missing"));
  EXPECT_EQ(doc.ToText(), R"({"a":"B","b":{"y":[2]}})");
}

TEST(JsonDocumentWrite, GetOrWritesTheDefaultWhenTheKindDiffers) {
  JsonDocument doc = parsed(R"({"n":5,"s":"text","r":1.5,"b":false})");
  EXPECT_EQ(doc.GetIntOr("n", 9), 5);
  EXPECT_EQ(doc.GetIntOr("s", 9), 9);  // replaced
  EXPECT_EQ(doc.GetTextOr("new/name", "dflt"), "dflt");
  EXPECT_DOUBLE_EQ(doc.GetNumberOr("n", 0.5), 5.0);  // an integer is a number
  EXPECT_DOUBLE_EQ(doc.GetNumberOr("b", 0.5), 0.5);
  EXPECT_TRUE(doc.GetBoolOr("r", true));
  EXPECT_EQ(doc.GetInt64Or("big", 1LL << 40), 1LL << 40);
  EXPECT_EQ(doc.ToText(),
            R"({"n":5,"s":9,"r":true,"b":0.5,"new":{"name":"dflt"},"big":1099511627776})");
}

// ---------------------------------------------------------------------------
// Lists

TEST(JsonDocumentLists, ReadListsConvertOrReportNoArray) {
  JsonDocument doc = parsed(R"({"mixed":["5",2.7,true,null],"obj":{"a":1}})");
  std::vector<std::int32_t> ints{99};
  EXPECT_EQ(doc.ReadIntList("obj", ints), -1);
  EXPECT_TRUE(ints.empty());
  EXPECT_EQ(doc.ReadIntList("missing", ints), -1);
  EXPECT_EQ(doc.ReadIntList("mixed", ints), 4);
  EXPECT_EQ(ints, (std::vector<std::int32_t>{5, 2, 0, 0}));
  std::vector<std::string> texts;
  EXPECT_EQ(doc.ReadTextList("mixed", texts), 4);
  EXPECT_EQ(texts, (std::vector<std::string>{"5", "2.7", "真"_gbk, ""}));
  std::vector<double> reals;
  EXPECT_EQ(doc.ReadNumberList("mixed", reals), 4);
  EXPECT_DOUBLE_EQ(reals[1], 2.7);
}

TEST(JsonDocumentLists, FillSplitByElementType) {
  struct Case {
    const char* text;
    const char* separator;
    int type;
    long size;
    const char* json;
  };
  const Case cases[] = {
      {"1,2,3", ",", 3, 3, "[1,2,3]"},
      {"1,2,3", "", 3, 3, "[1,2,3]"},  // empty separator means ","
      {"1.5|2|x", "|", 5, 3, "[1.5,2.0,0.0]"},
      {"7,-8", ",", 4, 2, "[7,-8]"},
      {"a,,b,", ",", 0, 3, R"(["a","","b"])"},
      {"", ",", 0, 0, "[]"},
  };
  for (const Case& c : cases) {
    JsonDocument doc(RootKind::array);
    doc.AppendText("", "old content");
    EXPECT_EQ(doc.FillSplit(c.text, c.separator, c.type), c.size) << c.text;
    EXPECT_EQ(doc.ToText(), c.json) << c.text;
  }
  JsonDocument object_rooted;
  EXPECT_EQ(object_rooted.FillSplit("1,2", ",", 3), -1);
  EXPECT_EQ(object_rooted.FillInts(std::vector<std::int32_t>{1}), -1);
}

TEST(JsonDocumentLists, FillFamilyResetsTheRoot) {
  JsonDocument doc(RootKind::array);
  doc.Parse(R"([{"old":1}])");
  EXPECT_EQ(doc.FillTexts(std::vector<std::string>{"a", "礼物"_gbk}), 2);
  EXPECT_EQ(doc.ToText(), "[\"a\",\"" + "礼物"_gbk + "\"]");
  EXPECT_EQ(doc.FillInts(std::vector<std::int64_t>{1LL << 40, -1}), 2);
  EXPECT_EQ(doc.ToText(), "[1099511627776,-1]");
  EXPECT_EQ(doc.FillNumbers(std::vector<double>{0.25}, "0"), 1);  // into a new inner array
  EXPECT_EQ(doc.ToText(), "[[0.25]]");
}

TEST(JsonDocumentLists, ElementGettersReadUnderAPath) {
  JsonDocument doc = parsed(R"({"rows":[{"key_":"k0","v":1},{"key_":"k1","v":2.5}],)"
                            R"("n":[10,"20x",true],"named":{"3":"three"}})");
  EXPECT_EQ(doc.ElementInt(1, "n"), 20);
  EXPECT_EQ(doc.ElementInt64(0, "n"), 10);
  EXPECT_TRUE(doc.ElementBool(2, "n"));
  EXPECT_FLOAT_EQ(doc.ElementFloat(1, "rows/1/v"), 0.0f);  // a scalar has no elements
  EXPECT_FLOAT_EQ(doc.ElementFloat(1, "rows/1"), 0.0f);    // nor a member named "1"
  EXPECT_DOUBLE_EQ(doc.ElementNumber(0, "n"), 10.0);
  EXPECT_EQ(doc.ElementText(1, "rows"), R"({"key_":"k1","v":2.5})");
  EXPECT_EQ(doc.ElementJson(0, "rows"), R"({"key_":"k0","v":1})");
  EXPECT_EQ(doc.ElementText(3, "named"), "three");  // path + "/" + index
  EXPECT_EQ(doc.ElementText(9, "n"), "");
  EXPECT_EQ(doc.ElementText(0, "missing"), "");

  JsonDocument copy = doc.ElementCopy(1, "rows");
  EXPECT_EQ(copy.GetText("key_"), "k1");
  copy.SetText("key_", "changed");
  EXPECT_EQ(doc.GetText("rows/1/key_"), "k1");
  JsonDocument into(RootKind::array);
  EXPECT_TRUE(doc.ElementCopyInto(0, "rows", into));
  EXPECT_EQ(into.ToText(), R"({"key_":"k0","v":1})");
  EXPECT_FALSE(doc.ElementCopyInto(7, "rows", into));

  JsonDocument array_rooted = parsed(R"([[1,2],[3,4]])", RootKind::array);
  EXPECT_EQ(array_rooted.ElementInt(1, "1"), 4);
  EXPECT_EQ(array_rooted.ElementText(0), "[1,2]");  // empty path: the index alone
}

// ---------------------------------------------------------------------------
// Sub-documents, ownership

TEST(JsonDocumentOwnership, ClearPerRootKindAndOnViews) {
  JsonDocument object_rooted = parsed(R"({"a":1})");
  ASSERT_TRUE(object_rooted.Clear());
  EXPECT_EQ(object_rooted.ToText(), "{}");
  JsonDocument array_rooted = parsed(R"([1,2])", RootKind::array);
  ASSERT_TRUE(array_rooted.Clear());
  EXPECT_EQ(array_rooted.ToText(), "[]");

  JsonDocument owner = parsed(R"({"a":{"x":1},"b":[1,2],"c":3})");
  JsonDocument object_view = owner.ViewAt("a");
  EXPECT_EQ(object_view.Ownership(), JsonOwnership::View);
  EXPECT_TRUE(object_view.Clear());
  JsonDocument array_view = owner.ViewAt("b", RootKind::array);
  EXPECT_TRUE(array_view.Clear());
  EXPECT_EQ(owner.ToText(), R"({"a":{},"b":[],"c":3})");
  // Edits through a view land in the owner.
  EXPECT_TRUE(object_view.SetInt("y", 2));
  EXPECT_EQ(owner.GetInt("a/y"), 2);
}

TEST(JsonDocumentOwnership, ViewsAndMovesNeverFreeTheOwnersDocument) {
  JsonDocument owner = parsed(R"({"a":{"x":"keep"},"list":[1]})");
  {
    JsonDocument view = owner.ViewAt("a");
    JsonDocument member = owner.MemberView("list", RootKind::array);
    EXPECT_EQ(view.GetText("x"), "keep");
    EXPECT_EQ(member.ToText(), "[1]");
    JsonDocument moved_view = std::move(view);
    EXPECT_EQ(moved_view.ToText(), R"({"x":"keep"})");
  }
  EXPECT_EQ(owner.ToText(), R"({"a":{"x":"keep"},"list":[1]})");
  EXPECT_EQ(owner.MemberView("missing").Root(), nullptr);

  JsonDocument taken = std::move(owner);
  EXPECT_EQ(taken.GetText("a/x"), "keep");
  // The moved-from document is empty and every operation is harmless.
  EXPECT_EQ(owner.ToText(), "");
  EXPECT_EQ(owner.GetText("a/x"), "");
  EXPECT_FALSE(owner.SetText("a", "x"));
  EXPECT_FALSE(owner.AppendInt("l", 1));
  EXPECT_EQ(owner.ViewAt("a").Root(), nullptr);
  EXPECT_EQ(owner.MemoryBlocks(), 0u);
  EXPECT_TRUE(owner.Clear());  // a fresh empty document again
  EXPECT_EQ(owner.ToText(), "{}");
  owner = std::move(taken);
  EXPECT_EQ(owner.GetText("a/x"), "keep");
}

TEST(JsonDocumentOwnership, AdoptedStateSharesWithoutFreeing) {
  JsonDocument owner = parsed(R"({"a":1})");
  {
    JsonDocument adopted;
    adopted.AdoptState(owner.StateAddress());
    EXPECT_EQ(adopted.Ownership(), JsonOwnership::Adopted);
    adopted.SetInt("b", 2);
  }
  EXPECT_EQ(owner.ToText(), R"({"a":1,"b":2})");
}

TEST(JsonDocumentOwnership, CopiesShareNothing) {
  JsonDocument source = parsed(R"({"a":{"x":[1,2]}})");
  JsonDocument copy = source.CopyAt("a");
  EXPECT_EQ(copy.Ownership(), JsonOwnership::Owner);
  copy.AppendInt("x", 3);
  EXPECT_EQ(source.GetText("a/x"), "[1,2]");
  JsonDocument target(RootKind::array);
  EXPECT_TRUE(source.CopyInto("a/x", target));
  EXPECT_EQ(target.ToText(), "[1,2]");
  EXPECT_FALSE(source.CopyInto("missing", target));
}

TEST(JsonDocumentOwnership, MemoryBlocksCountAndRebuildReturns) {
  JsonDocument doc;
  std::size_t empty_blocks = doc.MemoryBlocks();
  EXPECT_GE(empty_blocks, 1u);
  for (int i = 0; i < 20000; ++i) doc.AppendText("list", "some text to take room");
  std::size_t full_blocks = doc.MemoryBlocks();
  EXPECT_GT(full_blocks, empty_blocks);
  doc.RemoveAt("list");
  EXPECT_EQ(doc.MemoryBlocks(), full_blocks);  // removal keeps the memory
  EXPECT_TRUE(doc.Rebuild());
  EXPECT_LT(doc.MemoryBlocks(), full_blocks);
  EXPECT_EQ(doc.ToText(), "{}");
}

// ---------------------------------------------------------------------------
// Merge

TEST(JsonDocumentMerge, ObjectsMergeRecursivelyArraysAppend) {
  JsonDocument doc = parsed(R"({"cfg":{"a":1,"sub":{"x":1,"keep":true},"arr":[1],"swap":[1]}})");
  JsonDocument other = parsed(
      R"({"a":"one","sub":{"x":2,"y":null},"arr":[2,{"k":"v"}],"swap":{"now":"object"},"n":1.5})");
  ASSERT_TRUE(doc.MergeAt(other, "cfg"));
  EXPECT_EQ(doc.GetText("cfg"),
            R"({"a":"one","sub":{"x":2,"keep":true,"y":null},"arr":[1,2,{"k":"v"}],)"
            R"("swap":{"now":"object"},"n":1.5})");
  // The merged values are copies.
  other.SetText("arr/1/k", "changed");
  EXPECT_EQ(doc.GetText("cfg/arr/2/k"), "v");
}

TEST(JsonDocumentMerge, TypeMismatchIsRefusedAndSelfMergeTerminates) {
  JsonDocument doc = parsed(R"({"list":[1,2],"obj":{"a":1}})");
  JsonDocument array_doc = parsed("[3]", RootKind::array);
  EXPECT_FALSE(doc.MergeAt(array_doc, "obj"));
  EXPECT_FALSE(doc.MergeAt(array_doc, "missing"));
  EXPECT_FALSE(doc.MergeAt(array_doc));  // root is an object
  EXPECT_TRUE(doc.MergeAt(array_doc, "list"));
  EXPECT_EQ(doc.GetText("list"), "[1,2,3]");

  // Merging a view of the same document into itself reads a snapshot.
  JsonDocument view = doc.ViewAt("list", RootKind::array);
  EXPECT_TRUE(doc.MergeAt(view, "list"));
  EXPECT_EQ(doc.GetText("list"), "[1,2,3,1,2,3]");
  EXPECT_EQ(doc.GetText("obj"), R"({"a":1})");
}

// ---------------------------------------------------------------------------
// Handle level

TEST(JsonDocumentHandles, MembersItemsAndValues) {
  JsonDocument doc = parsed(R"({"obj":{"a":1},"arr":[1,2,3]})");
  JsonValue obj = doc.ValueAt("obj");
  JsonValue arr = doc.ValueAt("arr");

  EXPECT_EQ(JsonDocument::MemberAs<std::int32_t>(obj, "a"), 1);
  EXPECT_TRUE(doc.SetMember(obj, "a", std::string_view("replaced")));
  EXPECT_TRUE(doc.SetMember(obj, "a", 2, SetMode::add));  // a second member of that name
  JsonValue inner = doc.SetMember(obj, "inner", NewObject{});
  ASSERT_TRUE(inner);
  EXPECT_TRUE(doc.SetMember(inner, "deep", RawJson{R"([true])"}));
  EXPECT_EQ(JsonDocument::ValueToText(obj), R"({"a":"replaced","a":2,"inner":{"deep":[true]}})");
  EXPECT_EQ(JsonDocument::MemberAs<std::string>(obj, "a"), "replaced");  // the first of the name

  EXPECT_TRUE(doc.SetItem(arr, -1, 4));
  EXPECT_TRUE(doc.SetItem(arr, 0, 0, SetMode::add));
  EXPECT_TRUE(doc.SetItem(arr, 1, NullValue{}));
  EXPECT_FALSE(doc.SetItem(arr, 9, 1));
  EXPECT_FALSE(doc.SetItem(obj, -1, 1));
  EXPECT_EQ(JsonDocument::ValueToText(arr), "[0,null,2,3,4]");
  EXPECT_EQ(JsonDocument::ItemAs<std::int64_t>(arr, 4), 4);
  EXPECT_TRUE(JsonDocument::RemoveItems(arr, 1, 2));
  EXPECT_EQ(JsonDocument::ValueToText(arr), "[0,3,4]");

  std::vector<std::string> keys;
  JsonDocument::ForEachMember(obj,
                              [&](std::string_view key, JsonValue) { keys.emplace_back(key); });
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "a", "inner"}));
  std::size_t visited = 0;
  JsonDocument::ForEachItem(arr, [&](std::size_t index, JsonValue) {
    ++visited;
    return index < 1;  // stop after the second item
  });
  EXPECT_EQ(visited, 2u);

  EXPECT_TRUE(JsonDocument::RemoveMember(obj, "a"));  // every member of the name
  EXPECT_FALSE(JsonDocument::HasMember(obj, "a"));
  EXPECT_TRUE(doc.SetValue(JsonDocument::ArrayItem(arr, 0), std::string_view("zero")));
  EXPECT_TRUE(
      JsonDocument::SwapValues(JsonDocument::ArrayItem(arr, 0), JsonDocument::ArrayItem(arr, 2)));
  EXPECT_EQ(JsonDocument::ValueToText(arr), R"([4,3,"zero"])");
  EXPECT_TRUE(JsonDocument::ClearItems(arr));
  EXPECT_TRUE(JsonDocument::ClearMembers(obj));
  EXPECT_FALSE(JsonDocument::ClearMembers(arr));
  EXPECT_EQ(doc.ToText(), R"({"obj":{},"arr":[]})");
  EXPECT_EQ(JsonDocument::ValueType(nullptr), JsonValueType::none);
  EXPECT_EQ(JsonDocument::ValueAs<std::string>(nullptr), "");
}

// ---------------------------------------------------------------------------
// Hostile input

TEST(JsonDocumentHostile, DeepNestingIsCopiedWithoutRecursion) {
  constexpr int depth = 200000;
  std::string deep(depth, '[');
  deep.append(depth, ']');
  JsonDocument nested(RootKind::array);
  ASSERT_TRUE(nested.Parse(deep));
  JsonDocument holder;
  EXPECT_TRUE(holder.AppendDocument("list", nested));
  EXPECT_TRUE(holder.SetDocumentAt("copy", nested));
  EXPECT_TRUE(holder.MergeAt(nested, "list"));
  EXPECT_FALSE(JsonDocument::SwapValues(holder.ValueAt("copy"), holder.ValueAt("copy/0/0/0")));
  EXPECT_EQ(holder.SizeAt("list"), 2u);
}

TEST(JsonEngine, ReadyAndSilent) {
  int reports = 0;
  set_json_engine_reporter([&](const std::string&, const std::string&) { ++reports; });
  EXPECT_TRUE(json_engine_ready());
  JsonDocument doc;
  EXPECT_EQ(doc.ToText(), "{}");
  EXPECT_EQ(reports, 0);
  set_json_engine_reporter(nullptr);
}

}  // namespace
