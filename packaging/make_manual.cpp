// make_manual: writes the stitcher's man page and its bash completion from
// the command line's own option table and usage text, so that neither can
// name an option the stitcher does not take or miss one it does.
//
//   make_manual <version> <stitcher.1> <completion script>
//
// The usage text is read in its parts: the synopsis (up to the first blank
// line), the description (up to "options:"), the option lines (from the
// table itself) and the paragraphs after them; "exit codes:" opens the exit
// status. A usage text without those parts is refused, so that the build
// fails rather than ship a page with a part missing.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Options.h"

using namespace stitcher;

namespace {

// Text as troff prints it: a backslash and a minus sign escaped (a bare "-"
// is a hyphen, which breaks copying an option out of the page), and a line
// that would start with a control character made plain.
std::string roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

// An option's spellings as --help shows them ("-v, --verbose").
std::vector<std::string> spellings(const OptionSpec& o) {
    std::vector<std::string> out;
    const std::string names = o.names;
    for (size_t at = 0;;) {
        const size_t comma = names.find(", ", at);
        out.push_back(names.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) break;
        at = comma + 2;
    }
    return out;
}

std::string oneLine(const char* help) {
    std::string s = help;
    for (char& c : s)
        if (c == '\n') c = ' ';
    return s;
}

struct Usage {
    std::vector<std::string> synopsis, description;
    std::vector<std::vector<std::string>> after;  // paragraphs after the option lines
};

bool splitUsage(const std::string& text, Usage& u) {
    const std::vector<std::string> all = lines(text);
    size_t i = 0;
    for (; i < all.size() && !trimmed(all[i]).empty(); ++i) {
        std::string line = trimmed(all[i]);
        if (line.rfind("usage:", 0) == 0) line = trimmed(line.substr(6));
        u.synopsis.push_back(line);
    }
    for (++i; i < all.size() && all[i] != "options:"; ++i) u.description.push_back(all[i]);
    if (i >= all.size() || u.synopsis.empty()) return false;
    for (++i; i < all.size() && !trimmed(all[i]).empty(); ++i) {}  // the option lines: from the table
    for (; i < all.size(); ++i) {
        if (trimmed(all[i]).empty()) {
            u.after.emplace_back();
            continue;
        }
        if (u.after.empty()) u.after.emplace_back();
        u.after.back().push_back(all[i]);
    }
    return true;
}

// Description lines: "  name    text" rows become tagged paragraphs, other
// lines running text, a blank line between paragraphs.
void describe(std::ostream& out, const std::vector<std::string>& text) {
    bool newParagraph = false;
    for (const std::string& line : text) {
        const size_t gap = line.find("  ", 2);
        if (line.rfind("  ", 0) == 0 && line[2] != ' ' && gap != std::string::npos && !trimmed(line.substr(gap)).empty()) {
            out << ".TP\n.B " << roff(trimmed(line.substr(0, gap))) << "\n" << roff(trimmed(line.substr(gap))) << "\n";
            newParagraph = true;
        } else if (trimmed(line).empty()) {
            newParagraph = true;
        } else {
            if (newParagraph) out << ".PP\n";
            newParagraph = false;
            out << roff(trimmed(line)) << "\n";
        }
    }
}

std::string manPage(const std::string& version, const Usage& u) {
    std::ostringstream out;
    out << ".TH STITCHER 1 \"\" \"" << roff(version) << "\" \"User Commands\"\n"
        << ".SH NAME\nstitcher \\- stitch dual\\-fisheye 360 clips into panorama videos and pictures\n"
        << ".SH SYNOPSIS\n";
    for (const std::string& s : u.synopsis) {
        const bool named = s.rfind("stitcher", 0) == 0;
        out << (named ? ".B stitcher\n" + roff(trimmed(s.substr(8))) : roff(s)) << "\n.br\n";
    }
    out << ".SH DESCRIPTION\n";
    describe(out, u.description);
    std::vector<std::string> exitStatus;
    for (const std::vector<std::string>& para : u.after) {
        if (para.empty()) continue;
        if (para[0].rfind("exit codes:", 0) == 0) {
            exitStatus = para;
            exitStatus[0] = trimmed(exitStatus[0].substr(11));
            continue;
        }
        out << ".PP\n";
        describe(out, para);
    }
    out << ".SH OPTIONS\n";
    for (const OptionSpec& o : optionTable()) {
        out << ".TP\n";
        const std::vector<std::string> names = spellings(o);
        for (size_t k = 0; k < names.size(); ++k) out << (k ? ", " : "") << "\\fB" << roff(names[k]) << "\\fR";
        if (o.value) out << " \\fI" << roff(o.value) << "\\fR";
        out << "\n" << roff(oneLine(o.help)) << "\n";
        if (o.kind == ValueKind::Word) {
            std::string words;
            for (const char* w : o.words) words += std::string(words.empty() ? "" : ", ") + w;
            out << ".br\n" << roff(std::string("One of: ") + words + ".") << "\n";
        }
    }
    if (!exitStatus.empty()) {
        out << ".SH EXIT STATUS\n";
        describe(out, exitStatus);
    }
    out << ".SH SEE ALSO\n.BR ffmpeg (1),\n.BR melt (1)\n";
    return out.str();
}

// The completion: option names after "-", the words of a word option after
// it, file names after an option whose value names a file, nothing after
// other values; otherwise file names (the clip, the output, segments).
std::string completion() {
    std::string all, words, files, values;
    for (const OptionSpec& o : optionTable()) {
        for (const std::string& n : spellings(o)) all += (all.empty() ? "" : " ") + n;
        if (o.kind == ValueKind::None || o.kind == ValueKind::End) continue;
        std::string pattern;
        for (const std::string& n : spellings(o)) pattern += (pattern.empty() ? "" : "|") + n;
        if (o.kind == ValueKind::Word) {
            std::string list;
            for (const char* w : o.words) list += std::string(list.empty() ? "" : " ") + w;
            words += "        " + pattern + ") COMPREPLY=($(compgen -W '" + list + "' -- \"$cur\")); return ;;\n";
        } else {
            const std::string value = o.value ? o.value : "";
            const bool file = value.find("FILE") != std::string::npos || value == "PATH" || value == "OUT";
            (file ? files : values) += (file ? files : values).empty() ? pattern : "|" + pattern;
        }
    }
    std::string s =
        "# bash completion for stitcher, made from its option table\n"
        "_stitcher() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        "    # --option=value: bash splits the \"=\" off as a word of its own\n"
        "    if [[ $cur == = ]]; then\n"
        "        cur=\n"
        "    elif [[ $prev == = && $COMP_CWORD -ge 2 ]]; then\n"
        "        prev=${COMP_WORDS[COMP_CWORD-2]}\n"
        "    fi\n"
        "    COMPREPLY=()\n"
        "    case $prev in\n" +
        words;
    if (!files.empty()) s += "        " + files + ") compopt -o filenames; COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    if (!values.empty()) s += "        " + values + ") return ;;\n";
    s += "    esac\n"
         "    if [[ $cur == -* ]]; then\n"
         "        COMPREPLY=($(compgen -W '" + all + "' -- \"$cur\"))\n"
         "    else\n"
         "        compopt -o filenames\n"
         "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "    fi\n"
         "}\n"
         "complete -F _stitcher stitcher\n";
    return s;
}

bool write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (out) return true;
    std::fprintf(stderr, "make_manual: cannot write %s\n", path.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_manual <version> <man page> <completion script>\n");
        return 2;
    }
    Usage usage;
    if (!splitUsage(usageText(), usage)) {
        std::fprintf(stderr, "make_manual: the usage text has no synopsis or no \"options:\" line\n");
        return 1;
    }
    return write(argv[2], manPage(argv[1], usage)) && write(argv[3], completion()) ? 0 : 1;
}
