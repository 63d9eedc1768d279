// A document as a strict XML parser (expat) reads it: whether it is well formed, and each element
// in document order with its attributes and the character data directly inside it.
#pragma once
#include <expat.h>

#include <map>
#include <string>
#include <vector>

struct StrictElement {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::string text;
};

struct StrictDocument {
    std::string error;  // expat's message with its line, empty when the document is well formed
    std::vector<StrictElement> elements;

    // The first element of that name, null when there is none.
    const StrictElement* Find(const std::string& name) const {
        for (const StrictElement& e : elements)
            if (e.name == name)
                return &e;
        return nullptr;
    }
};

// Reads UTF-8 bytes (or bytes in the encoding that their declaration names).
inline StrictDocument ParseStrictXml(const std::string& bytes) {
    struct State {
        StrictDocument document;
        std::vector<size_t> open;
    } state;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &state);
    XML_SetElementHandler(
        parser,
        [](void* data, const XML_Char* name, const XML_Char** attributes) {
            State& s = *static_cast<State*>(data);
            StrictElement element;
            element.name = name;
            for (size_t i = 0; attributes[i]; i += 2)
                element.attributes[attributes[i]] = attributes[i + 1];
            s.open.push_back(s.document.elements.size());
            s.document.elements.push_back(std::move(element));
        },
        [](void* data, const XML_Char*) { static_cast<State*>(data)->open.pop_back(); });
    XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* text, int length) {
        State& s = *static_cast<State*>(data);
        if (!s.open.empty())
            s.document.elements[s.open.back()].text.append(text, static_cast<size_t>(length));
    });
    if (XML_Parse(parser, bytes.data(), static_cast<int>(bytes.size()), 1) == XML_STATUS_ERROR) {
        state.document.error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                               std::to_string(XML_GetCurrentLineNumber(parser));
        state.document.elements.clear();
    }
    XML_ParserFree(parser);
    return state.document;
}
