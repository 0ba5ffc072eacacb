#pragma once

#include "Models/AppEnums.h"
#include "Platform/JsonCoding.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// A named Markdown text that can be written into an instruction file such as GEMINI.md.
struct PromptTemplate
{
    // Every field must be given: a template with a forgotten field would be written to disk as is.
    PromptTemplate(std::string id, std::string title, std::string descriptionText, std::string promptContent,
        TemplateKind kind, std::string targetFileName, bool isPresetTemplate, TimePoint createdAt, TimePoint updatedAt);

    std::string id; // canonical upper-case UUID; look-ups, replacement and deletion go by it
    std::string title;
    std::string descriptionText;
    std::string promptContent; // written byte for byte into the target file
    TemplateKind kind;
    std::string targetFileName; // relative to the target folder; may contain sub-folders
    bool isPresetTemplate; // presets cannot be deleted
    TimePoint createdAt;
    TimePoint updatedAt;

    bool operator==(const PromptTemplate &) const = default;

    // All nine members, in field order; dates as whole-second ISO 8601 in UTC.
    Json::Value toJson() const;
    // All nine members are required with their exact types; `kind` must be a label, `id` a UUID.
    static std::optional<PromptTemplate> fromJson(const Json::Value &json);
    static std::optional<PromptTemplate> decode(std::string_view text);
};

// What the template page edits of a template; the id, the preset mark and the times are not its to set.
struct TemplateEdits
{
    std::string title;
    std::string descriptionText;
    std::string promptContent;
    TemplateKind kind = TemplateKind::custom;
    std::string targetFileName;
};

// templates.json is an array of template objects; one bad element fails the whole array.
std::string encodeTemplateList(const std::vector<PromptTemplate> &templates);
std::optional<std::vector<PromptTemplate>> decodeTemplateList(std::string_view text);

std::size_t hashValue(const PromptTemplate &tmpl);

// The presets a new library starts with: always the public list.
std::vector<PromptTemplate> presetTemplates(TimePoint now);
// The four public presets, made at `now`. Every call builds fresh ids.
std::vector<PromptTemplate> publicPresetTemplates(TimePoint now);
// Part of the documented service interface; nothing selects them at present.
// The three presets of the persona edition.
std::vector<PromptTemplate> soranePresetTemplates(TimePoint now);

} // namespace velkaro

template<> struct std::hash<velkaro::PromptTemplate>
{
    std::size_t operator()(const velkaro::PromptTemplate &tmpl) const { return velkaro::hashValue(tmpl); }
};
