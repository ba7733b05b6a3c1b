// The VBScript language, feature by feature: each group is a table of
// expressions with the text they print, or of small programs with their
// output. Out prints its argument and a line end; an uncaught error prints
// "error N".
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "host/vbscript/conversions.h"
#include "host/vbscript/interpreter.h"
#include "host/vbscript/parser.h"

namespace qz::vbs {
namespace {

std::string Show(Interpreter& in, const Value& v) {
  switch (v.type()) {
    case Type::Null:
      return "Null";
    case Type::Object:
      return v.object() ? "<" + v.object()->TypeName() + ">" : "<Nothing>";
    case Type::Array: {
      std::string s = "(";
      for (std::size_t i = 0; i < v.array()->items.size(); ++i) {
        if (i) s += ",";
        s += Show(in, v.array()->items[i]);
      }
      return s + ")";
    }
    default:
      return ToText(v);
  }
}

struct Outcome {
  std::string out;
  int error = 0;
  int line = 0;
  bool stopped = false;
};

Outcome RunScript(const std::string& source, Limits limits = {}) {
  Outcome r;
  ThreadItemBudget() = ItemBudget{0, std::size_t{1} << 20, std::size_t{64} << 20};
  Interpreter in(std::move(limits));
  in.AddFunction("Out", [&r](Interpreter& i, std::vector<Arg>& args) {
    for (std::size_t k = 0; k < args.size(); ++k) {
      if (k) r.out += " ";
      r.out += Show(i, args[k].value);
    }
    r.out += "\n";
    return Value();
  });
  try {
    in.Run(source);
  } catch (const ScriptError& e) {
    r.error = e.number;
    r.line = e.line;
    r.out += "error " + std::to_string(e.number) + "\n";
  } catch (const ScriptStop&) {
    r.stopped = true;
  }
  in.Shutdown();
  return r;
}

struct Case {
  const char* code;
  const char* want;
};

// Expressions: "Out <expression>" prints want.
void CheckExpressions(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    Outcome r = RunScript(std::string("Out ") + c.code);
    EXPECT_EQ(r.out, std::string(c.want) + "\n") << c.code;
  }
}

// Programs: the whole output.
void CheckPrograms(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    Outcome r = RunScript(c.code);
    EXPECT_EQ(r.out, c.want) << c.code;
  }
}

TEST(VbsOperators, ArithmeticWidensAsVariantsDo) {
  CheckExpressions({
      {"1 + 2", "3"},
      {"TypeName(1 + 2)", "Integer"},
      {"TypeName(32767 + 1)", "Long"},
      {"TypeName(2147483647 + 1)", "Double"},
      {"TypeName(-32767 - 1)", "Integer"},
      {"TypeName(-(-32767 - 1))", "Long"},
      {"TypeName(CByte(200) + CByte(100))", "Integer"},
      {"TypeName(CByte(2) * CByte(3))", "Byte"},
      {"TypeName(CSng(1.5) + 1)", "Single"},
      {"TypeName(CCur(1.5) * 2)", "Currency"},
      {"CCur(0.1) + CCur(0.2)", "0.3"},
      {"5 / 2", "2.5"},
      {"TypeName(4 / 2)", "Double"},
      {"7 \\ 2", "3"},
      {"7.5 \\ 2", "4"},
      {"-7 Mod 3", "-1"},
      {"7 Mod -3", "1"},
      {"5.5 Mod 2", "0"},
      {"2 ^ 10", "1024"},
      {"-2 ^ 2", "-4"},
      {"2 ^ 3 ^ 2", "64"},
      {"2 ^ -1", "0.5"},
      {"1 / 0", "error 11"},
      {"0 / 0", "error 6"},
      {"5 \\ 0", "error 11"},
      {"5 Mod 0", "error 11"},
      {"(-8) ^ (1 / 3)", "error 5"},
      {"32767 * 32767", "1073676289"},
      {"True + True", "-2"},
      {"TypeName(Empty + Empty)", "Integer"},
      {"Empty + 5", "5"},
      {"\"1\" + 2", "3"},
      {"TypeName(\"1\" + 2)", "Double"},
      {"\"a\" + \"b\"", "ab"},
      {"\"a\" + 1", "error 13"},
      {"IsNull(Null + 1)", "True"},
      {"1 & 2", "12"},
      {"Null & \"x\"", "x"},
      {"IsNull(Null & Null)", "True"},
      {"1.5 & \"\"", "1.5"},
      {"1E+15 & \"\"", "1E+15"},
      {"0.1 + 0.2", "0.3"},
  });
}

TEST(VbsOperators, PrecedenceFollowsTheLanguage) {
  CheckExpressions({
      {"1 + 2 * 3", "7"},
      {"10 \\ 3 * 2", "1"},
      {"2 * 3 Mod 4", "2"},
      {"7 Mod 4 + 1", "4"},
      {"1 + 2 & 3", "33"},
      {"Not 1 = 2", "True"},
      {"1 = 1 And 2 = 3", "False"},
      {"True Or False And False", "True"},
      {"-3 ^ 2 + 1", "-8"},
      {"2 * -3", "-6"},
  });
}

TEST(VbsOperators, ComparisonAndLogic) {
  CheckExpressions({
      {"\"abc\" < \"abd\"", "True"},
      {"\"B\" < \"a\"", "True"},
      {"\"10\" < \"9\"", "True"},
      {"10 < 9", "False"},
      {"1 = \"1\"", "True"},
      {"\"2\" > 10", "False"},
      {"1 = \"x\"", "error 13"},
      {"Empty = 0", "True"},
      {"Empty = \"\"", "True"},
      {"IsNull(Null = Null)", "True"},
      {"Not 0", "-1"},
      {"Not True", "False"},
      {"TypeName(Not CByte(1))", "Byte"},
      {"5 And 3", "1"},
      {"5 Or 3", "7"},
      {"5 Xor 3", "6"},
      {"5 Eqv 3", "-7"},
      {"5 Imp 3", "-5"},
      {"True Eqv False", "False"},
      {"False Imp Null", "True"},
      {"IsNull(Null And True)", "True"},
      {"Null And False", "False"},
      {"Null Or True", "True"},
      {"IsNull(Not Null)", "True"},
      {"Nothing Is Nothing", "True"},
      {"1 Is Nothing", "error 424"},
  });
  CheckPrograms({
      {"x = 1 : y = \"1\"\nOut x = y, x < y", "False True\n"},
      {"Set a = New C : Set b = a : Set c = New C\nOut a Is b, a Is c\nClass C : End Class",
       "True False\n"},
  });
}

TEST(VbsOperators, LiteralsOfEveryKind) {
  CheckExpressions({
      {"&HFF", "255"},
      {"&HFFFF", "-1"},
      {"TypeName(&H8000)", "Integer"},
      {"&H10000", "65536"},
      {"&HFFFFFFFF", "-1"},
      {"&O17", "15"},
      {"&17", "15"},
      {"TypeName(1.0)", "Double"},
      {".5 + 1", "1.5"},
      {"1e3", "1000"},
      {"TypeName(#1/31/2024#)", "Date"},
      {"#1/31/2024#", "1/31/2024"},
      {"#2024-02-29 13:05:09#", "2/29/2024 1:05:09 PM"},
      {"#12:30 AM#", "12:30:00 AM"},
      {"\"say \"\"hi\"\"\"", "say \"hi\""},
      {"TypeName(Empty)", "Empty"},
      {"TypeName(Null)", "Null"},
      {"TypeName(Nothing)", "Nothing"},
      {"TypeName(2147483648)", "Double"},
  });
}

TEST(VbsControlFlow, BranchesAndLoops) {
  CheckPrograms({
      {"If 1 > 2 Then\n Out 1\nElseIf 2 > 1 Then\n Out 2\nElse\n Out 3\nEnd If", "2\n"},
      {"If False Then Out 1 Else Out 2 : Out 3", "2\n3\n"},
      {"If True Then Out 1 : Out 2 Else Out 3", "1\n2\n"},
      {"x = Null\nIf x Then Out \"yes\" Else Out \"no\"", "no\n"},
      {"If \"abc\" Then Out 1", "error 13\n"},
      {"For i = 1 To 3 : Out i : Next", "1\n2\n3\n"},
      {"For i = 10 To 1 Step -4 : Out i : Next\nOut i", "10\n6\n2\n-2\n"},
      {"For i = 1 To 2 Step 0.5 : Out i : Next", "1\n1.5\n2\n"},
      {"For i = 1 To 0 : Out i : Next\nOut \"after \" & i", "after 1\n"},
      {"For i = 1 To 10\n If i = 3 Then Exit For\nNext\nOut i", "3\n"},
      {"n = 3\nFor i = 1 To n : n = 1 : Out i : Next", "1\n2\n3\n"},
      {"For Each x In Array(1, \"a\", Null) : Out x : Next", "1\na\nNull\n"},
      {"Dim a(1, 1)\na(0, 0) = 1 : a(1, 0) = 2 : a(0, 1) = 3 : a(1, 1) = 4\n"
       "For Each x In a : Out x : Next",
       "1\n2\n3\n4\n"},
      {"For Each x In 5 : Next", "error 451\n"},
      {"i = 0\nDo While i < 3 : i = i + 1 : Loop\nOut i", "3\n"},
      {"i = 0\nDo Until i >= 3 : i = i + 1 : Loop\nOut i", "3\n"},
      {"i = 5\nDo : i = i + 1 : Loop While i < 3\nOut i", "6\n"},
      {"i = 0\nDo\n i = i + 1\n If i = 4 Then Exit Do\nLoop\nOut i", "4\n"},
      {"i = 0\nWhile i < 2 : i = i + 1 : Wend\nOut i", "2\n"},
      {"For i = 1 To 2\n For j = 1 To 2\n  If j = 2 Then Exit For\n  Out i & j\n Next\nNext",
       "11\n21\n"},
      {"Do\n For i = 1 To 5\n  If i = 2 Then Exit Do\n Next\nLoop\nOut i", "2\n"},
  });
}

TEST(VbsControlFlow, SelectCase) {
  const char* classify =
      "Function Kind(v)\n"
      " Select Case v\n"
      "  Case \"x\" : Kind = \"letter\"\n"
      "  Case 1, 2 : Kind = \"one or two\"\n"
      "  Case 3 To 5 : Kind = \"three to five\"\n"
      "  Case Is > 100 : Kind = \"big\"\n"
      "  Case Else : Kind = \"other\"\n"
      " End Select\n"
      "End Function\n";
  CheckPrograms({
      {std::string(classify)
           .append("Out Kind(2)\nOut Kind(4)\nOut Kind(101)\nOut Kind(\"x\")\nOut Kind(50)")
           .c_str(),
       "one or two\nthree to five\nbig\nletter\nother\n"},
      {"Select Case \"b\"\nCase \"a\" To \"c\" : Out \"in\"\nEnd Select", "in\n"},
      {"Select Case 1\nCase 2 : Out 2\nEnd Select\nOut \"none\"", "none\n"},
  });
}

TEST(VbsControlFlow, StatementFormsAndComments) {
  CheckPrograms({
      {"x = 1 + _\n    2\nOut x ' a comment\nRem another\nOut x:Out x", "3\n3\n3\n"},
      {"Const A = 5, B = \"t\"\nOut A & B\nA = 6", "5t\nerror 501\n"},
      {"With New Box\n .Size = 3\n Out .Size * 2\nEnd With\nClass Box : Public Size : End Class",
       "6\n"},
      {"Option Explicit\nDim a\na = 1\nb = 2", "error 500\n"},
      {"Option Explicit\nOut c", "error 500\n"},
      {"Out undefinedName & \"|\"", "|\n"},
      {"Dim a(2)\na(0) = \"x\"\nErase a\nOut a(0) & \"|\" & UBound(a)", "|2\n"},
      {"Dim a()\nReDim a(1)\na(1) = 7\nReDim Preserve a(3)\nOut a(1) & \",\" & UBound(a)", "7,3\n"},
      {"ReDim a(1, 2)\nReDim Preserve a(1, 4)\nOut UBound(a, 2)\nReDim Preserve a(2, 4)",
       "4\nerror 9\n"},
      {"Dim a(1)\nReDim a(5)", "error 10\n"},
      {"Dim a(1)\nOut a(2)", "error 9\n"},
      {"Dim a(1)\nOut a(0, 0)", "error 9\n"},
      {"x = 5\nOut x(1)", "error 13\n"},
  });
}

TEST(VbsProcedures, ByReferenceIsTheDefault) {
  CheckPrograms({
      {"Sub Inc(n) : n = n + 1 : End Sub\nx = 1 : Inc x : Out x", "2\n"},
      {"Sub Inc(ByVal n) : n = n + 1 : End Sub\nx = 1 : Inc x : Out x", "1\n"},
      {"Sub Inc(n) : n = n + 1 : End Sub\nx = 1 : Inc (x) : Out x", "1\n"},
      {"Sub Inc(n) : n = n + 1 : End Sub\nx = 1 : Call Inc(x) : Out x", "2\n"},
      {"Sub Inc(n) : n = n + 1 : End Sub\nDim a(2) : a(1) = 5 : Inc a(1) : Out a(1)", "6\n"},
      {"Sub Grow(n) : ReDim a(0) : n = 9 : End Sub\nDim b : ReDim a(3) : Grow a(2) : Out UBound(a)",
       "0\n"},
      {"Sub Two(a, b) : a = 1 : b = 2 : End Sub\nTwo x, y : Out x & y", "12\n"},
      {"Function Add(a, b) : Add = a + b : End Function\nOut Add(2, 3)", "5\n"},
      {"Function Fact(n)\n If n <= 1 Then Fact = 1 Else Fact = n * Fact(n - 1)\nEnd Function\n"
       "Out Fact(10)",
       "3628800\n"},
      {"Function F() : F = 1 : Exit Function : F = 2 : End Function\nOut F()", "1\n"},
      {"Sub S() : Out 1 : Exit Sub : Out 2 : End Sub\nS", "1\n"},
      {"Function Nothing1() : End Function\nOut TypeName(Nothing1())", "Empty\n"},
      {"Sub S(a) : End Sub\nS 1, 2", "error 450\n"},
      {"NoSuchSub 1", "error 13\n"},
      {"Function G() : Set G = New C : End Function\nOut TypeName(G())\nClass C : End Class",
       "C\n"},
      {"Sub S : x = 5 : End Sub\nS : Out \"[\" & x & \"]\"", "[]\n"},
      {"Dim g : g = 1\nSub S : g = 2 : End Sub\nS : Out g", "2\n"},
      {"Out Twice(4)\nFunction Twice(v) : Twice = v * 2 : End Function", "8\n"},
      {"Set f = GetRef(\"Hello\")\nf \"you\"\nSub Hello(who) : Out \"hi \" & who : End Sub",
       "hi you\n"},
  });
}

TEST(VbsClasses, MembersPropertiesAndLifetime) {
  const char* account =
      "Class Account\n"
      " Private mBalance\n"
      " Public Owner\n"
      " Private Sub Class_Initialize() : mBalance = 10 : Out \"init\" : End Sub\n"
      " Private Sub Class_Terminate() : Out \"bye \" & Owner : End Sub\n"
      " Public Property Get Balance() : Balance = mBalance : End Property\n"
      " Public Property Let Balance(v)\n"
      "  If v < 0 Then Err.Raise 5\n"
      "  mBalance = v\n"
      " End Property\n"
      " Public Default Function Describe() : Describe = Owner & \":\" & mBalance : End Function\n"
      " Public Sub Deposit(n) : Balance = Balance + n : End Sub\n"
      "End Class\n";
  CheckPrograms({
      {std::string(account)
           .append("Set a = New Account\na.Owner = \"ann\"\na.Deposit 5\nOut a.Balance\n"
                   "Out a & \"\"\nSet a = Nothing\nOut \"end\"")
           .c_str(),
       "init\n15\nann:15\nbye ann\nend\n"},
      {std::string(account).append("Set a = New Account\nOut a.mBalance").c_str(),
       "init\nerror 438\nbye \n"},
      {std::string(account).append("Set a = New Account\na.Balance = -1").c_str(),
       "init\nerror 5\nbye \n"},
      {std::string(account)
           .append("Set a = New Account\nSet b = a\nSet a = Nothing\nOut \"still\"")
           .c_str(),
       "init\nstill\nbye \n"},
      {"Class Node : Public Other : End Class\nSet a = New Node : Set b = New Node\n"
       "Set a.Other = b : Set b.Other = a\nOut \"cycle\"",
       "cycle\n"},
      {"Class P\n Private mV\n Public Property Set V(o) : Set mV = o : End Property\n"
       " Public Property Get V() : Set V = mV : End Property\nEnd Class\n"
       "Set p = New P : Set p.V = New P : Out TypeName(p.V)",
       "P\n"},
      {"Class Bag\n Public Items(2)\nEnd Class\nSet b = New Bag\nb.Items(1) = \"x\"\nOut "
       "b.Items(1)",
       "x\n"},
      {"Set x = New Missing", "error 506\n"},
      {"Dim keep, g\nClass T\n Sub Class_Terminate : g = \"gone\" : Set keep = New T : End Sub\n"
       "End Class\nSet t = New T : Set t = Nothing\nOut g",
       "gone\n"},
      {"Class T\n Sub Class_Terminate : x = 1 / 0 : End Sub\nEnd Class\n"
       "Set t = New T : Set t = Nothing : Out \"fine\"",
       "fine\n"},
      {"x = 5\nSet y = x", "error 424\n"},
      {"Dim o\nOut o.Name", "error 424\n"},
      {"Set o = Nothing\nOut o.Name", "error 91\n"},
      {"Class C : Function Me1() : Set Me1 = Me : End Function : End Class\n"
       "Set c = New C : Out c.Me1() Is c",
       "True\n"},
  });
}

TEST(VbsErrors, OnErrorAndTheErrObject) {
  CheckPrograms({
      {"On Error Resume Next\nx = 1 / 0\nOut Err.Number & \" \" & Err.Description\nErr.Clear\n"
       "Out Err.Number",
       "11 Division by zero\n0\n"},
      {"On Error Resume Next\nErr.Raise 1000, \"mine\", \"custom\"\n"
       "Out Err.Number & \"|\" & Err.Source & \"|\" & Err.Description",
       "1000|mine|custom\n"},
      {"On Error Resume Next\nx = CInt(\"abc\")\nOut \"next \" & Err.Number\nOn Error GoTo 0\n"
       "Out Err.Number\ny = 1 / 0\nOut \"unreached\"",
       "next 13\n0\nerror 11\n"},
      {"Sub Inner : x = 1 / 0 : Out \"inner after\" : End Sub\n"
       "On Error Resume Next\nInner\nOut \"outer \" & Err.Number",
       "outer 11\n"},
      {"Sub Guarded : On Error Resume Next : x = 1 / 0 : Out \"guarded \" & Err.Number : End Sub\n"
       "Guarded\nx = 1 / 0",
       "guarded 11\nerror 11\n"},
      {"Err.Raise 9", "error 9\n"},
      {"Err.Raise vbObjectError + 1", "error -2147221503\n"},
      {"On Error Resume Next\nFor i = 1 To 3\n x = 1 / (i - 2)\n Out i & \":\" & Err.Number\n "
       "Err.Clear\nNext",
       "1:0\n2:11\n3:0\n"},
      {"Out Err & \"\"", "0\n"},
      {"Select Case \"x\"\nCase 1 : Out 1\nEnd Select", "error 13\n"},
  });
}

TEST(VbsErrors, SyntaxErrorsNameTheirLine) {
  struct Bad {
    const char* code;
    int number;
    int line;
  };
  for (const Bad& b : std::vector<Bad>{{"x = \nOut 1", 1023, 1},
                                       {"Out 1\nIf x Then\nOut 2", 1012, 3},
                                       {"Out \"abc", 1033, 1},
                                       {"Out 1\nOut 2 3", 1025, 2},
                                       {"For i = 1 To 2\nLoop", 1024, 2},
                                       {"x = @", 1032, 1},
                                       {"Sub A\nEnd Function", 1016, 2},
                                       {"Class C\nPublic Default X\nEnd Class", 1024, 2},
                                       {"Exit Sometimes", 1039, 1},
                                       {"x = &HFFFFFFFFF", 1031, 1}}) {
    Outcome r = RunScript(b.code);
    EXPECT_EQ(r.error, b.number) << b.code;
    EXPECT_EQ(r.line, b.line) << b.code;
  }
}

TEST(VbsRuntime, StringsWithTheirOddCases) {
  CheckExpressions({
      {"Len(\"abc\")", "3"},
      {"Len(12.5)", "4"},
      {"IsNull(Len(Null))", "True"},
      {"Left(\"abc\", 5)", "abc"},
      {"Left(\"abc\", -1)", "error 5"},
      {"Right(\"abc\", 2)", "bc"},
      {"Mid(\"abcdef\", 2, 3)", "bcd"},
      {"Mid(\"abc\", 5) = \"\"", "True"},
      {"Mid(\"abc\", 2)", "bc"},
      {"Mid(\"abc\", 0)", "error 5"},
      {"InStr(\"abcabc\", \"c\")", "3"},
      {"InStr(4, \"abcabc\", \"c\")", "6"},
      {"InStr(1, \"ABC\", \"b\", 1)", "2"},
      {"InStr(\"abc\", \"\")", "1"},
      {"InStr(\"abc\", \"z\")", "0"},
      {"InStrRev(\"abcabc\", \"b\")", "5"},
      {"InStrRev(\"abcabc\", \"b\", 4)", "2"},
      {"Replace(\"a-b-c\", \"-\", \"+\")", "a+b+c"},
      {"Replace(\"a-b-c\", \"-\", \"+\", 1, 1)", "a+b-c"},
      {"Replace(\"a-b-c\", \"-\", \"+\", 3)", "b+c"},
      {"Replace(\"ABab\", \"a\", \"x\", 1, -1, 1)", "xBxb"},
      {"Split(\"a,b,c\", \",\")", "(a,b,c)"},
      {"Split(\"a,b,c,d\", \",\", 2)", "(a,b,c,d)"},
      {"UBound(Split(\"a,b,c,d\", \",\", 2))", "1"},
      {"Split(\"a,b,c,d\", \",\", 2)(1)", "b,c,d"},
      {"UBound(Split(\"\"))", "-1"},
      {"Split(\"a b\")", "(a,b)"},
      {"Join(Array(1, 2, 3), \"-\")", "1-2-3"},
      {"Join(Array(1, 2))", "1 2"},
      {"\"[\" & Trim(\"  x  \") & LTrim(\" y \") & RTrim(\" z \") & \"]\"", "[xy  z]"},
      {"UCase(\"aBc\") & LCase(\"aBc\")", "ABCabc"},
      {"\"[\" & Space(3) & \"]\"", "[   ]"},
      {"String(3, \"xy\")", "xxx"},
      {"String(2, 65)", "AA"},
      {"StrComp(\"a\", \"B\")", "1"},
      {"StrComp(\"a\", \"B\", 1)", "-1"},
      {"StrComp(\"a\", \"a\")", "0"},
      {"StrReverse(\"abc\")", "cba"},
      {"Asc(\"A\")", "65"},
      {"Asc(\"\")", "error 5"},
      {"Chr(66)", "B"},
      {"Chr(256)", "error 5"},
      {"AscW(ChrW(8364))", "8364"},
      {"Len(ChrW(233))", "1"},
      {"Filter(Array(\"apple\", \"pear\", \"grape\"), \"ap\")", "(apple,grape)"},
      {"Filter(Array(\"apple\", \"pear\"), \"ap\", False)", "(pear)"},
      {"Len(vbCrLf) & Len(vbTab)", "21"},
  });
}

// Strings count characters (code points), whatever their UTF-8 length.
TEST(VbsRuntime, StringsCountCharactersNotBytes) {
  CheckExpressions({
      {"Len(\"Grüße €\") & \" \" & Len(\"Продажи\")", "7 7"},
      {"Left(\"Grüße €\", 3)", "Grü"},
      {"Right(\"Grüße €\", 3)", "e €"},
      {"Right(\"Продажи\", 10)", "Продажи"},
      {"Mid(\"Grüße €\", 3, 2)", "üß"},
      {"Mid(\"Продажи\", 5)", "ажи"},
      {"Mid(\"Продажи\", 8) = \"\"", "True"},
      {"InStr(\"Grüße €\", \"€\")", "7"},
      {"InStr(5, \"Grüße €\", \"e\")", "5"},
      {"InStr(\"Продажи\", \"да\")", "4"},
      {"InStr(1, \"GRÜSSE\", \"üss\", 1)", "3"},
      {"InStr(1, \"ПРОДАЖИ\", \"дажи\", 1)", "4"},
      {"InStrRev(\"ßaßb\", \"ß\")", "3"},
      {"InStrRev(\"Продажи\", \"д\", 4)", "4"},
      {"InStrRev(\"Продажи\", \"и\", 6)", "0"},
      {"StrReverse(\"Grüße €\")", "€ eßürG"},
      {"StrReverse(\"Продажи\")", "ижадорП"},
      {"Replace(\"Grüße €\", \"ü\", \"ue\")", "Grueße €"},
      {"Replace(\"Grüße €\", \"ß\", \"ss\", 4)", "sse €"},
      {"Replace(\"ааа\", \"а\", \"б\", 2, 1)", "ба"},
      {"Replace(\"Продажи\", \"ПРО\", \"\", 1, -1, 1)", "дажи"},
      {"Split(\"Пн,Вт,Ср\", \",\")", "(Пн,Вт,Ср)"},
      {"Split(\"aßbßc\", \"ß\", 2)", "(a,bßc)"},
      {"Split(\"xЖyжz\", \"ж\", -1, 1)", "(x,y,z)"},
      {"Filter(Array(\"Grüße\", \"Gruss\"), \"Ü\", True, 1)", "(Grüße)"},
      {"String(3, \"€x\")", "€€€"},
      {"String(2, 233)", "éé"},
      {"StrComp(\"é\", \"É\", 1) & StrComp(\"é\", \"É\") & StrComp(\"z\", \"é\")", "01-1"},
  });
}

TEST(VbsRuntime, CaseOfLatinGreekAndCyrillicLetters) {
  CheckExpressions({
      {"UCase(\"Grüße €\")", "GRÜßE €"},
      {"UCase(\"straße\")", "STRAßE"},
      {"LCase(\"ÀÉÎÕÜÝ×\")", "àéîõüý×"},
      {"UCase(\"ÿœž\")", "ŸŒŽ"},
      {"UCase(\"αβγ άς\") & LCase(\"ΩΆΈ\")", "ΑΒΓ ΆΣωάέ"},
      {"UCase(\"продажи ёї\")", "ПРОДАЖИ ЁЇ"},
      {"LCase(\"ПРОДАЖИ ЁЇ\")", "продажи ёї"},
      {"UCase(\"日本\") & LCase(\"日本\")", "日本日本"},
  });
}

TEST(VbsRuntime, CharacterCodes) {
  CheckExpressions({
      {"ChrW(&H20AC)", "€"},
      {"AscW(\"€\") & \" \" & AscW(\"é\") & \" \" & AscW(\"Ж\")", "8364 233 1046"},
      {"AscW(ChrW(-1)) & \" \" & TypeName(AscW(ChrW(&HFFFF)))", "-1 Integer"},
      {"AscW(ChrW(-32768)) = -32768", "True"},
      {"AscW(ChrW(&H1F600)) & \" \" & Len(ChrW(&H1F600))", "128512 1"},
      {"Len(\"a\" & ChrW(&H1F600) & \"b\")", "3"},
      {"Mid(\"a\" & ChrW(&H1F600) & \"b\", 3)", "b"},
      {"ChrW(&HD800)", "error 5"},
      {"ChrW(&H110000)", "error 5"},
      {"Chr(128) & Chr(233) & Chr(159)", "€éŸ"},
      {"Asc(\"€\") & \" \" & Asc(\"é\") & \" \" & Asc(\"Ж\")", "128 233 63"},
      {"Asc(Chr(150)) & \" \" & Asc(Chr(129))", "150 129"},
      {"AscB(\"é\") & \" \" & Len(ChrB(233))", "195 1"},
  });
  // Every BMP character and a few beyond it survive ChrW then AscW.
  Outcome r = RunScript(
      "bad = 0\n"
      "For c = 0 To 65535\n"
      "  If c < 55296 Or c > 57343 Then\n"
      "    s = ChrW(c)\n"
      "    w = AscW(s) : If w < 0 Then w = w + 65536\n"
      "    If w <> c Or Len(s) <> 1 Then bad = bad + 1\n"
      "  End If\n"
      "Next\n"
      "For Each c In Array(&H10000, &H1F600, &H10FFFF)\n"
      "  If AscW(ChrW(c)) <> c Then bad = bad + 1\n"
      "Next\n"
      "Out bad\n");
  EXPECT_EQ(r.out, "0\n");
}

// A byte that begins no well-formed UTF-8 sequence is one character and
// comes back unchanged.
TEST(VbsRuntime, StrayBytesAreOneCharacterEach) {
  CheckExpressions({
      {"Len(\"a\" & ChrB(255) & \"b\")", "3"},
      {"Mid(\"a\" & ChrB(255) & \"b\", 3)", "b"},
      {"AscB(Mid(\"a\" & ChrB(255) & \"b\", 2, 1))", "255"},
      {"AscW(ChrB(233)) & \" \" & Asc(ChrB(233))", "233 233"},
      {"Len(ChrB(226) & ChrB(130))", "2"},
      {"Len(ChrB(192) & ChrB(128))", "2"},
      {"Len(ChrB(237) & ChrB(160) & ChrB(128))", "3"},
      {"Len(ChrB(244) & ChrB(144) & ChrB(128) & ChrB(128))", "4"},
      {"Len(StrReverse(\"é\" & ChrB(195)))", "2"},
      {"AscB(StrReverse(\"é\" & ChrB(195)))", "195"},
      {"StrReverse(StrReverse(\"x\" & ChrB(195) & \"é\")) = \"x\" & ChrB(195) & \"é\"", "True"},
      {"InStr(\"é\", ChrB(169))", "0"},
      {"InStr(\"é\" & ChrB(169), ChrB(169))", "2"},
      {"UCase(\"é\" & ChrB(233)) = \"É\" & ChrB(233)", "True"},
      {"Left(ChrB(240) & ChrB(159), 1) = ChrB(240)", "True"},
      {"UBound(Split(\"a\" & ChrB(200) & \"b\" & ChrB(200), ChrB(200)))", "2"},
  });
}

TEST(VbsRuntime, ConversionsAndMath) {
  CheckExpressions({
      {"Round(2.5)", "2"},
      {"Round(3.5)", "4"},
      {"Round(-2.5)", "-2"},
      {"Round(2.675, 2)", "2.68"},
      {"Round(1.005, 2)", "1"},
      {"TypeName(Round(2.5))", "Double"},
      {"CInt(\"1e3\")", "1000"},
      {"CInt(2.5)", "2"},
      {"CInt(3.5)", "4"},
      {"CInt(32768)", "error 6"},
      {"CInt(\"abc\")", "error 13"},
      {"CInt(Null)", "error 94"},
      {"CLng(\"&HFF\")", "255"},
      {"CLng(\" 12 \")", "12"},
      {"CByte(256)", "error 6"},
      {"CBool(\"true\")", "True"},
      {"CBool(0)", "False"},
      {"CBool(\"x\")", "error 13"},
      {"CDbl(\"1.5e2\")", "150"},
      {"CDbl(\"1,000\")", "1000"},
      {"CInt(\"(5)\")", "-5"},
      {"CCur(\"$1,234.50\")", "1234.5"},
      {"IsNumeric(\"$1,234.50\") & IsNumeric(\"1,23\")", "TrueFalse"},
      {"\"1,000\" = 1000", "True"},
      {"CStr(1.5)", "1.5"},
      {"CStr(True)", "True"},
      {"CCur(1.23456)", "1.2346"},
      {"TypeName(CSng(1))", "Single"},
      {"CDate(\"2024-01-31\")", "1/31/2024"},
      {"CDate(\"January 31, 2024\")", "1/31/2024"},
      {"CDate(\"nonsense\")", "error 13"},
      {"Hex(255) & \" \" & Hex(-1) & \" \" & Hex(CLng(-1))", "FF FFFF FFFFFFFF"},
      {"Oct(8)", "10"},
      {"Fix(-2.5) & \" \" & Int(-2.5)", "-2 -3"},
      {"Int(2.9)", "2"},
      {"Abs(-3) & \" \" & TypeName(Abs(-3))", "3 Integer"},
      {"Abs(-32768)", "32768"},
      {"Sgn(-0.5) & Sgn(0) & Sgn(7)", "-101"},
      {"Sqr(16)", "4"},
      {"Sqr(-1)", "error 5"},
      {"Log(0)", "error 5"},
      {"Round(Exp(1), 5)", "2.71828"},
      {"Round(Atn(1) * 4, 6)", "3.141593"},
      {"Round(Sin(0) + Cos(0) + Tan(0), 3)", "1"},
      {"Rnd() >= 0 And Rnd() < 1", "True"},
  });
  CheckPrograms({
      {"x = Rnd(-1) : Randomize 5 : a = Rnd\nx = Rnd(-1) : Randomize 5 : b = Rnd\nOut a = b",
       "True\n"},
      {"x = Rnd(-1) : y = Rnd(0)\nOut x = y", "True\n"},
  });
}

TEST(VbsRuntime, ChecksAndArrays) {
  CheckExpressions({
      {"IsArray(Array())", "True"},
      {"UBound(Array())", "-1"},
      {"IsArray(1)", "False"},
      {"IsDate(\"2024-02-29\")", "True"},
      {"IsDate(\"2023-02-29\")", "False"},
      {"IsEmpty(Empty) & IsEmpty(\"\")", "TrueFalse"},
      {"IsNull(Null)", "True"},
      {"IsNumeric(\"12.5\") & IsNumeric(\"1e3\") & IsNumeric(\"abc\") & IsNumeric(Empty)",
       "TrueTrueFalseTrue"},
      {"IsNumeric(Null)", "False"},
      {"IsObject(Nothing)", "True"},
      {"VarType(1) & \" \" & VarType(\"a\") & \" \" & VarType(Array())", "2 8 8204"},
      {"VarType(Null) & VarType(Empty) & VarType(True)", "1011"},
      {"TypeName(Array())", "Variant()"},
      {"TypeName(CCur(1)) & TypeName(CByte(1)) & TypeName(Now)", "CurrencyByteDate"},
      {"LBound(Array(1))", "0"},
      {"UBound(5)", "error 13"},
      {"UBound(Array(1), 2)", "error 9"},
      {"Array(1, Array(2, 3))(1)(0)", "2"},
  });
  CheckPrograms({
      {"Dim m(2, 3)\nOut UBound(m, 1) & UBound(m, 2)", "23\n"},
      {"a = Array(1, 2)\nb = a\nb(0) = 9\nOut a(0) & b(0)", "19\n"},
      {"Dim a\nOut UBound(a)", "error 13\n"},
  });
}

TEST(VbsRuntime, DatesAcrossMonthEndsAndYears) {
  CheckExpressions({
      {"DateAdd(\"m\", 1, #1/31/2024#)", "2/29/2024"},
      {"DateAdd(\"m\", 1, #1/31/2023#)", "2/28/2023"},
      {"DateAdd(\"m\", -1, #3/31/2024#)", "2/29/2024"},
      {"DateAdd(\"yyyy\", 1, #2/29/2024#)", "2/28/2025"},
      {"DateAdd(\"q\", 1, #11/30/2024#)", "2/28/2025"},
      {"DateAdd(\"d\", 1, #12/31/2024#)", "1/1/2025"},
      {"DateAdd(\"ww\", 2, #1/1/2024#)", "1/15/2024"},
      {"DateAdd(\"h\", 25, #1/1/2024#)", "1/2/2024 1:00:00 AM"},
      {"DateAdd(\"n\", -1, #1/1/2024#)", "12/31/2023 11:59:00 PM"},
      {"DateAdd(\"x\", 1, Now)", "error 5"},
      {"DateDiff(\"d\", #1/31/2024#, #3/1/2024#)", "30"},
      {"DateDiff(\"m\", #1/31/2024#, #2/1/2024#)", "1"},
      {"DateDiff(\"yyyy\", #12/31/2023#, #1/1/2024#)", "1"},
      {"DateDiff(\"h\", #1/1/2024 11:59 PM#, #1/2/2024#)", "1"},
      {"DateDiff(\"ww\", #1/6/2024#, #1/7/2024#)", "1"},
      {"DateDiff(\"d\", #3/1/2024#, #1/31/2024#)", "-30"},
      {"DatePart(\"q\", #8/15/2024#)", "3"},
      {"DatePart(\"y\", #3/1/2024#)", "61"},
      {"DatePart(\"w\", #1/1/2024#)", "2"},
      {"Year(#7/4/1999#) & \"-\" & Month(#7/4/1999#) & \"-\" & Day(#7/4/1999#)", "1999-7-4"},
      {"Hour(#1:02:03 PM#) & Minute(#1:02:03 PM#) & Second(#1:02:03 PM#)", "1323"},
      {"Weekday(#1/1/2024#)", "2"},
      {"Weekday(#1/1/2024#, vbMonday)", "1"},
      {"DateSerial(2024, 14, 1)", "2/1/2025"},
      {"DateSerial(2024, 3, 0)", "2/29/2024"},
      {"DateSerial(2024, 1, -1)", "12/30/2023"},
      {"DateSerial(99, 1, 1)", "1/1/1999"},
      {"DateSerial(10000, 1, 1)", "error 5"},
      {"TimeSerial(13, 70, 0)", "2:10:00 PM"},
      {"DateValue(\"2024-05-06 10:00\")", "5/6/2024"},
      {"TimeValue(\"2024-05-06 10:00\")", "10:00:00 AM"},
      {"MonthName(2) & MonthName(2, True)", "FebruaryFeb"},
      {"MonthName(13)", "error 5"},
      {"WeekdayName(1) & WeekdayName(1, True, vbMonday)", "SundayMon"},
      {"FormatDateTime(#2/3/2024 4:05:06 PM#, vbLongDate)", "Saturday, February 03, 2024"},
      {"FormatDateTime(#2/3/2024 4:05:06 PM#, vbShortTime)", "16:05"},
      {"FormatDateTime(#2/3/2024 4:05:06 PM#)", "2/3/2024 4:05:06 PM"},
      {"#1/2/2024# - #1/1/2024#", "1"},
      {"TypeName(#1/1/2024# + 1)", "Date"},
      {"Year(Now) >= 2024", "True"},
  });
}

TEST(VbsRuntime, FormattingAndTheEngine) {
  CheckExpressions({
      {"FormatNumber(1234.5)", "1,234.50"},
      {"FormatNumber(1234.5, 0)", "1,235"},
      {"FormatNumber(-0.5, 1, 0)", "-.5"},
      {"FormatNumber(-1234, 0, -1, -1)", "(1,234)"},
      {"FormatNumber(1234567, 0, -1, 0, 0)", "1234567"},
      {"FormatCurrency(1234.5)", "$1,234.50"},
      {"FormatCurrency(-3)", "($3.00)"},
      {"FormatPercent(0.256)", "25.60%"},
      {"FormatPercent(0.5, 0)", "50%"},
      {"Eval(\"1 + 2 * 3\")", "7"},
      {"Eval(\"1 +\")", "error 1023"},
      {"ScriptEngine", "VBScript"},
      {"RGB(255, 0, 1)", "65791"},
  });
  CheckPrograms({
      {"x = 2\nExecute \"y = x * 3\"\nOut y", "6\n"},
      {"Sub S : Execute \"Dim z : z = 1\" : Out z : End Sub\nS\nOut \"[\" & z & \"]\"", "1\n[]\n"},
      {"Sub S : ExecuteGlobal \"Dim w : w = 4\" : End Sub\nS\nOut w", "4\n"},
      {"Execute \"Function Sq(n) : Sq = n * n : End Function\"\nOut Sq(5)", "25\n"},
      {"Out CreateObject(\"X.Y\")", "error 13\n"},
  });
}

TEST(VbsLimits, RunawayScriptsStop) {
  std::atomic<bool> stop{false};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  Limits limits;
  limits.stop = &stop;
  limits.expired = [deadline] { return std::chrono::steady_clock::now() > deadline; };
  for (const char* endless :
       {"Do : Loop", "While True : Wend", "On Error Resume Next\nDo : x = 1 / 0 : Loop",
        "Sub S : S2 : End Sub\nSub S2 : End Sub\nDo : S : Loop", "For i = 1 To 1E300 : Next"}) {
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    limits.expired = [deadline] { return std::chrono::steady_clock::now() > deadline; };
    Outcome r = RunScript(endless, limits);
    EXPECT_TRUE(r.stopped) << endless;
  }
  stop = true;
  EXPECT_TRUE(RunScript("x = 1", limits).stopped) << "a stop request ends the script at once";
}

TEST(VbsLimits, DepthMemoryAndNestingAreBounded) {
  EXPECT_EQ(RunScript("Sub R : R : End Sub\nR").error, 28);
  EXPECT_EQ(RunScript("Function R(n) : R = R(n + 1) : End Function\nOut R(1)").error, 28);
  EXPECT_EQ(RunScript("s = \"Execute s\"\nExecute s").error, 28);
  EXPECT_EQ(RunScript("ReDim a(100000000)").error, 7);
  EXPECT_EQ(RunScript("Dim a(10000, 10000, 10000)").error, 7);
  EXPECT_EQ(RunScript("s = Space(70000000)").error, 7);
  EXPECT_EQ(RunScript("s = \"x\"\nDo : s = s & s : Loop").error, 7);
  EXPECT_EQ(RunScript("ReDim a(-2)").error, 9);
  // Nested arrays and long chains of objects release without deep recursion.
  EXPECT_EQ(RunScript("a = Array()\nDo : a = Array(a) : Loop").error, 28);
  EXPECT_EQ(RunScript("Dim a(1)\nDo : b = a : a(0) = b : Loop").error, 28);
  EXPECT_EQ(RunScript("Class N : Public Nxt : End Class\nSet h = Nothing\n"
                      "For i = 1 To 200000 : Set n = New N : Set n.Nxt = h : Set h = n : Next\n"
                      "Set n = Nothing : Set h = Nothing\nOut \"released\"")
                .out,
            "released\n");
  // Deep nesting is a syntax error, not a crashed stack.
  std::string deep = "x = " + std::string(100000, '(') + "1" + std::string(100000, ')');
  EXPECT_EQ(RunScript(deep).error, 1001);
  std::string ifs;
  for (int i = 0; i < 5000; ++i) ifs += "If True Then\n";
  EXPECT_EQ(RunScript(ifs).error, 1001);
  std::string nots = "x = " + std::string(0, ' ');
  for (int i = 0; i < 50000; ++i) nots += "Not ";
  EXPECT_EQ(RunScript(nots + "1").error, 1001);
  std::string minus = "x = " + std::string(50000, '-') + "1";
  EXPECT_EQ(RunScript(minus).error, 1001);
  std::string sum = "x = 1";
  for (int i = 0; i < 100000; ++i) sum += "+1";
  EXPECT_EQ(RunScript(sum).error, 1001) << "a long flat sum is a deep tree";
  std::string chain = "x = a";
  for (int i = 0; i < 100000; ++i) chain += ".b";
  EXPECT_EQ(RunScript(chain).error, 1001);
  std::string calls = "x = f";
  for (int i = 0; i < 100000; ++i) calls += "(1)";
  EXPECT_EQ(RunScript(calls).error, 1001);
  std::string ok = "x = 1";
  for (int i = 0; i < 200; ++i) ok += "+1";
  EXPECT_EQ(RunScript(ok + "\nOut x").out, "201\n") << "ordinary expressions stay well within";
}

}  // namespace
}  // namespace qz::vbs
