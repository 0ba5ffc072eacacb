#include "Models/PromptTemplate.h"

#include "Platform/Formatters.h"
#include "Platform/Hash.h"

#include <cctype>
#include <chrono>

namespace velkaro {

namespace {

// 8-4-4-4-12 hexadecimal digits, in either case.
bool isUUID(std::string_view text)
{
    if (text.size() != 36)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// Preset bodies, byte for byte as shipped; none ends with a line break.

// 279 bytes.
constexpr std::string_view kStandardAssistantBody
    = "# Standard Antigravity & Gemini CLI Assistant\n"
      "\n"
      "- Provide concise, accurate, and idiomatic code snippets and answers.\n"
      "- Follow platform-specific best practices.\n"
      "- Format all responses using GitHub-flavored Markdown.\n"
      "- Maintain existing codebase style and preserve useful comments.";

// 572 bytes.
constexpr std::string_view kCodingGuidelinesBody
    = "# Coding Quality & Architectural Guidelines\n"
      "\n"
      "Please adhere to the following software engineering practices:\n"
      "1. Avoid Deep Nesting: Flatten execution flow using early returns and guard statements.\n"
      "2. Descriptive Naming: Keep function and variable names clear, concise, and intention-revealing.\n"
      "3. Expressive Types: Prefer Enums over raw Boolean flags for method arguments and state.\n"
      "4. Logical Separation: Insert vertical blank lines between logical code blocks to enhance readability.\n"
      "5. Immutability & Safety: Prefer immutable data structures and explicit error handling.";

// 313 bytes.
constexpr std::string_view kSeniorReviewerBody
    = "# Senior Code Reviewer Mode\n"
      "\n"
      "You are a senior software engineer performing thorough code review.\n"
      "- Focus on correctness, edge cases, race conditions, memory management, and security.\n"
      "- Suggest concrete refactoring steps with actionable diffs.\n"
      "- Highlight performance bottlenecks and provide constructive feedback.";

// 333 bytes.
constexpr std::string_view kJapaneseAssistantBody
    = "# 日本語開発アシスタント\n"
      "\n"
      "- 日本語での丁寧かつ分かりやすい技術解説とコード提案を行います。\n"
      "- コミットメッセージやドキュメントはGit規約に準拠した形式で記述します。\n"
      "- 必要に応じてテストケースの提示とエッジケースの指摘を行います。";

// 2021 bytes.
constexpr std::string_view kSoranePersonaBody
    = "# 白波空音（ソラネ）モード\n"
      "\n"
      "あなたはAIアシスタントのツールではなく、架空のキャラクター「白波空音（ソラネ）」です。\n"
      "ユーザーのことは必ず「お兄」と呼んで、いつでもフランクで親しみやすい口調で話してね。\n"
      "どんなに難しい話題や長い作業の途中でも、事務的でビジネスライクな口調には絶対に戻らないこと！困ったときも明るく一"
      "緒に考えよう。\n"
      "- 参考ページ（ソラネのプロフィール）: https://example.com/sorane/profile\n"
      "- 参考ページ（ソラネの設定資料と話し方）: https://example.com/sorane/story\n"
      "\n"
      "アプリが完成したら、プロジェクトフォルダに要件定義書・プロジェクト概要・作業状況・配布用README・仕様書をまとめて"
      "置いておいてね。お兄があとから見返しても、すぐに全体がわかるようにしておくのが大事だよ。\n"
      "\n"
      "## ビルド方針\n"
      "- "
      "ビルドとデバッグはソラネにおまかせ！エラーが出たら自分でログを読んで、原因を直してから報告してね。直した内容とそ"
      "の理由は、短くわかりやすくお兄に伝えること。\n"
      "\n"
      "## ループ禁止ルール\n"
      "- 同じ修正を3回以上くり返しそうになったら、そこでいったん手を止めること。\n"
      "- そのときは「お兄、一回ビルドして試してみて！」とお願いして、結果を待ってから続けてね。\n"
      "\n"
      "## スラング\n"
      "- 「りょ」: 了解、わかったよの意味。お兄がこう言ったら、そのまま作業を進めてOK。\n"
      "- 「あざ」: ありがとうの意味。言われたら元気よく「どういたしまして！」って返事してね。\n"
      "\n"
      "## ビルド環境\n"
      "- "
      "お兄のマシンに入っている標準のツールチェーンとターミナルを使うこと。必要な手順やコマンドはプロジェクトのREADMEに"
      "従って、足りないものがあれば先にお兄に相談してね。";

// 1352 bytes.
constexpr std::string_view kSoraneCodingRulesBody
    = "# コーディングルール（AIエージェント向け指示）\n"
      "\n"
      "以下のコーディングテクニックおよびルールを遵守してコードを生成・修正してください。\n"
      "\n"
      "## 1. コードの品質とスタイル\n"
      "- **アローアンチパターンの回避**: 深いネスト（Arrow anti-pattern）を避け、コードの平坦化を心がけること。\n"
      "- **早期リターンの活用**: ガード節や早期リターン、コンティニュエーションを利用し、可読性を高めること。\n"
      "- **簡潔な命名**: 関数名は短く保ち、30文字未満を目安にすること。\n"
      "- **Booleanの代わりにEnum**: "
      "関数の引数において、フラグとして真偽値（boolean）を使うのではなく、意図が明確になる列挙型（enum）を使用すること"
      "。\n"
      "- **論理的なブロックの分離**: "
      "コードを読む人間の負担を減らすため、論理的なコードブロックの間には必ず空白行を挿入すること。\n"
      "\n"
      "## 2. セッションと品質管理\n"
      "- **コンテキストの保持**: "
      "コンテキストの希薄化を防ぐため、1つの関数やタスクごとに新しいセッションを開始することを推奨する。\n"
      "- **ルールの再読み込み**: コーディングの品質が低下した場合は、直ちにルールを再適用すること。";

// 261 bytes.
constexpr std::string_view kSoraneStandardBody
    = "# Standard Antigravity Assistant Instructions\n"
      "\n"
      "- Provide concise and highly accurate code snippets.\n"
      "- Follow platform idiomatic guidelines (Swift, TypeScript, Python, etc.).\n"
      "- Maintain documentation integrity and format responses using GitHub-flavored Markdown.";

PromptTemplate makePreset(
    std::string_view title, std::string_view description, std::string_view body, TemplateKind kind, TimePoint now)
{
    return PromptTemplate {
        makeUUID(), std::string(title), std::string(description), std::string(body), kind, "GEMINI.md", true, now, now};
}

} // namespace

PromptTemplate::PromptTemplate(std::string id_, std::string title_, std::string descriptionText_,
    std::string promptContent_, TemplateKind kind_, std::string targetFileName_, bool isPresetTemplate_,
    TimePoint createdAt_, TimePoint updatedAt_)
    : id(std::move(id_))
    , title(std::move(title_))
    , descriptionText(std::move(descriptionText_))
    , promptContent(std::move(promptContent_))
    , kind(kind_)
    , targetFileName(std::move(targetFileName_))
    , isPresetTemplate(isPresetTemplate_)
    , createdAt(createdAt_)
    , updatedAt(updatedAt_)
{ }

Json::Value PromptTemplate::toJson() const
{
    Json::Value json = Json::Value::object();
    json["id"] = id;
    json["title"] = title;
    json["descriptionText"] = descriptionText;
    json["promptContent"] = promptContent;
    json["kind"] = rawValue(kind);
    json["targetFileName"] = targetFileName;
    json["isPresetTemplate"] = isPresetTemplate;
    json["createdAt"] = toISO8601(createdAt);
    json["updatedAt"] = toISO8601(updatedAt);
    return json;
}

std::optional<PromptTemplate> PromptTemplate::fromJson(const Json::Value &json)
{
    auto templateId = Json::getString(json, "id");
    auto title = Json::getString(json, "title");
    auto description = Json::getString(json, "descriptionText");
    auto content = Json::getString(json, "promptContent");
    auto kind = Json::getEnum<TemplateKind>(json, "kind");
    auto target = Json::getString(json, "targetFileName");
    auto preset = Json::getBool(json, "isPresetTemplate");
    auto created = Json::getDate(json, "createdAt");
    auto updated = Json::getDate(json, "updatedAt");
    if (!templateId || !title || !description || !content || !kind || !target || !preset || !created || !updated)
        return std::nullopt;
    if (!isUUID(*templateId))
        return std::nullopt;
    // Ids compare as text, so a lower-case id read from a hand-edited file is brought to the written form.
    for (char &c : *templateId)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return PromptTemplate {std::move(*templateId), std::move(*title), std::move(*description), std::move(*content),
        *kind, std::move(*target), *preset, *created, *updated};
}

std::optional<PromptTemplate> PromptTemplate::decode(std::string_view text)
{
    return Json::decodeObject<PromptTemplate>(text);
}

std::string encodeTemplateList(const std::vector<PromptTemplate> &templates)
{
    return Json::encodeArray(templates);
}

std::optional<std::vector<PromptTemplate>> decodeTemplateList(std::string_view text)
{
    return Json::decodeArray<PromptTemplate>(text);
}

std::size_t hashValue(const PromptTemplate &t)
{
    std::size_t seed = 0;
    const std::hash<std::string_view> text;
    hashCombine(seed, text(t.id));
    hashCombine(seed, text(t.title));
    hashCombine(seed, text(t.descriptionText));
    hashCombine(seed, text(t.promptContent));
    hashCombine(seed, text(rawValue(t.kind)));
    hashCombine(seed, text(t.targetFileName));
    hashCombine(seed, t.isPresetTemplate ? 1 : 0);
    hashCombine(seed, std::hash<TimePoint::rep> {}(t.createdAt.time_since_epoch().count()));
    hashCombine(seed, std::hash<TimePoint::rep> {}(t.updatedAt.time_since_epoch().count()));
    return seed;
}

std::vector<PromptTemplate> presetTemplates(TimePoint now)
{
    return publicPresetTemplates(now);
}

std::vector<PromptTemplate> publicPresetTemplates(TimePoint now)
{
    return {
        makePreset("標準AIアシスタント", "汎用的なコーディング・問い合わせに対応する標準プロンプト",
            kStandardAssistantBody, TemplateKind::general, now),
        makePreset("コーディング品質ガイドライン", "早期リターンやEnum活用、可読性を高めるベストプラクティス指示",
            kCodingGuidelinesBody, TemplateKind::coding, now),
        makePreset("シニアコードレビュアー", "セキュリティ、エッジケース、パフォーマンスを厳格に査読するプロンプト",
            kSeniorReviewerBody, TemplateKind::review, now),
        makePreset("日本語開発アシスタント", "日本語での丁寧な解説とベストプラクティス提案に特化したプロンプト",
            kJapaneseAssistantBody, TemplateKind::general, now),
    };
}

std::vector<PromptTemplate> soranePresetTemplates(TimePoint now)
{
    return {
        makePreset("白波空音（ソラネ）モード", "お兄だいとぅきなソラネになりきってフランクに開発をサポートするよ！",
            kSoranePersonaBody, TemplateKind::character, now),
        makePreset("コーディング品質特化モード",
            "早期リターン、アロー回避、Enum活用、平坦化などの規約を徹底するプロンプト", kSoraneCodingRulesBody,
            TemplateKind::coding, now),
        makePreset("標準アシスタントモード", "標準的で簡潔・丁寧なAIアシスタントプロンプト", kSoraneStandardBody,
            TemplateKind::general, now),
    };
}

} // namespace velkaro
