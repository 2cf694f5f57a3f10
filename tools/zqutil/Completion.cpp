// zqutil completion bash|synopsis: the bash completion script and the manual
// page's SYNOPSIS, made from the tool's own commands and options, so that
// they cannot drift from them (tools/zqutil/zqutil.bash-completion and
// zqutil.1.in are checked against them).
//
// What an option's value completes to comes from its type name, the one the
// help shows: FILE (files, "-" aside), DIR (folders), "a|b" (those words);
// any other value (a name, a text, a number) completes to nothing.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/zqutil/Cli.h"

namespace zqutil {

namespace {

// A command's path from the tool, its words separated by spaces: "",
// " prefs", " prefs write".
struct Command {
  std::string path;
  const CLI::App* app;
};

// `app`'s options, those of its option groups (nameless subcommands) too.
std::vector<const CLI::Option*> OptionsOf(const CLI::App& app) {
  std::vector<const CLI::Option*> options = app.get_options();
  for (const CLI::App* group :
       app.get_subcommands([](const CLI::App* sub) { return sub->get_name().empty(); })) {
    for (const CLI::Option* option : OptionsOf(*group)) options.push_back(option);
  }
  return options;
}

void Walk(const CLI::App& app, const std::string& path, std::vector<Command>& out) {
  out.push_back({path, &app});
  for (const CLI::App* sub : app.get_subcommands(
           [](const CLI::App* s) { return !s->get_name().empty() && !s->get_group().empty(); })) {
    Walk(*sub, path + " " + sub->get_name(), out);
  }
}

// A shell word in single quotes.
std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Script(const CLI::App& app) {
  std::vector<Command> commands;
  Walk(app, "", commands);
  std::string paths;       // the case patterns of every command path but the tool's
  std::string values;      // "path:option" -> what its value completes to
  std::string words;       // path -> its subcommands and options
  std::string positional;  // paths whose positionals are files
  for (const Command& command : commands) {
    if (!command.path.empty()) paths += (paths.empty() ? "" : "|") + Quoted(command.path);
    std::string list;  // words, each followed by a space, each once
    const auto add = [&list](const std::string& word) {
      if ((" " + list).find(" " + word + " ") == std::string::npos) list += word + " ";
    };
    for (const CLI::App* sub : command.app->get_subcommands(
             [](const CLI::App* s) { return !s->get_name().empty() && !s->get_group().empty(); })) {
      add(sub->get_name());
    }
    for (const CLI::Option* option : OptionsOf(*command.app)) {
      const std::string type = option->get_type_name();
      if (option->get_positional()) {
        if (type == "FILE" && positional.find(Quoted(command.path)) == std::string::npos) {
          positional += (positional.empty() ? "" : "|") + Quoted(command.path);
        }
        continue;
      }
      std::string names;
      for (const std::string& name : option->get_snames()) {
        add("-" + name);
        names += (names.empty() ? "" : "|") + Quoted(command.path + ":-" + name);
      }
      for (const std::string& name : option->get_lnames()) {
        add("--" + name);
        names += (names.empty() ? "" : "|") + Quoted(command.path + ":--" + name);
      }
      if (option->get_items_expected_max() == 0 || names.empty()) continue;  // a flag
      std::string action = "return 0 ;;";                                    // a free value
      if (type == "FILE") {
        action = "kind=file ;;";
      } else if (type == "DIR") {
        action = "kind=dir ;;";
      } else if (type.find('|') != std::string::npos) {
        std::string choices = type;
        for (char& c : choices) c = c == '|' ? ' ' : c;
        action = "words=" + Quoted(choices) + " ;;";
      }
      values += "    " + names + ") " + action + "\n";
    }
    if (!list.empty()) list.pop_back();
    words += "      " + Quoted(command.path) + ") words=" + Quoted(list) + " ;;\n";
  }
  std::string script =
      "# bash completion for zqutil, made by `zqutil completion bash` from its options\n"
      "_zqutil() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]-} prev= path= words= kind= i\n"
      "  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]-}\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    case \"$path ${COMP_WORDS[i]-}\" in\n"
      "      " +
      paths +
      ") path=\"$path ${COMP_WORDS[i]-}\" ;;\n"
      "    esac\n"
      "  done\n"
      "  case \"$path:$prev\" in\n" +
      values +
      "  esac\n"
      "  if [[ -z $kind && -z $words ]]; then\n"
      "    case \"$path\" in\n" +
      words + "    esac\n";
  if (!positional.empty()) {
    script += "    case \"$path\" in\n      " + positional +
              ") [[ $cur == -* ]] || kind=file ;;\n    esac\n";
  }
  script +=
      "  fi\n"
      "  # One name a line, read as it is: a name is never split or expanded.\n"
      "  case $kind in\n"
      "    file) mapfile -t COMPREPLY < <(compgen -f -- \"$cur\"); compopt -o filenames "
      "2>/dev/null ;;\n"
      "    dir) mapfile -t COMPREPLY < <(compgen -d -- \"$cur\"); compopt -o filenames 2>/dev/null "
      ";;\n"
      "    *) mapfile -t COMPREPLY < <(compgen -W \"$words\" -- \"$cur\") ;;\n"
      "  esac\n"
      "}\n"
      "complete -F _zqutil zqutil\n";
  return script;
}

// `text` for roff: its hyphens as \-.
std::string Roff(const std::string& text) {
  std::string out;
  for (const char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
  return out;
}

// An option as a synopsis shows it: "\-\-name" (bold) and its value (italic).
std::string Usage(const CLI::Option& option) {
  const std::string name = option.get_lnames().empty() ? "-" + option.get_snames().front()
                                                       : "--" + option.get_lnames().front();
  return Roff(name);
}

// The man page's SYNOPSIS, a line per command, from the same table.
std::string Synopsis(const CLI::App& app) {
  std::vector<Command> commands;
  Walk(app, "", commands);
  std::string out = ".SH SYNOPSIS\n";
  for (const Command& command : commands) {
    if (command.path.empty() || !command.app
                                     ->get_subcommands([](const CLI::App* s) {
                                       return !s->get_name().empty() && !s->get_group().empty();
                                     })
                                     .empty()) {
      continue;  // the tool, and commands that only group others
    }
    out += ".B zqutil" + command.path + "\n";
    std::string positionals;
    const auto show = [&](const CLI::Option& option, bool inGroup, bool first) {
      const std::string type = Roff(option.get_type_name());
      if (option.get_positional()) {
        const std::string name =
            Roff(option.get_name()) + (option.get_expected_max() > 1 ? " ..." : "");
        positionals += option.get_required() ? ".I " + name + "\n" : ".RI [ " + name + " ]\n";
        return;
      }
      const bool flag = option.get_items_expected_max() == 0;
      if (inGroup) {
        out += ".RB " + std::string(first ? "( " : "\"| \" ") + Usage(option) + "\n";
        if (!flag) out += ".I " + type + "\n";
      } else if (option.get_required()) {
        out += ".B " + Usage(option) + "\n";
        if (!flag) out += ".I " + type + "\n";
      } else if (flag) {
        out += ".RB [ " + Usage(option) + " ]\n";
      } else {
        out += ".RB [ " + Usage(option) + "\n.IR " + type + " ]\n";
      }
    };
    for (const CLI::Option* option : command.app->get_options()) {
      if (option->get_lnames() != std::vector<std::string>{"help"}) show(*option, false, false);
    }
    for (const CLI::App* group :
         command.app->get_subcommands([](const CLI::App* s) { return s->get_name().empty(); })) {
      bool first = true;
      for (const CLI::Option* option : group->get_options()) {
        if (option->get_lnames() == std::vector<std::string>{"help"}) continue;
        show(*option, true, first);
        first = false;
      }
      if (!first) out += ".RB )\n";
    }
    out += positionals + ".br\n";
  }
  return out + ".B zqutil\n.BR \\-\\-version | \\-\\-help\n";
}

}  // namespace

void AddCompletionCommand(CLI::App& app) {
  // In no help group: a packager's and a test's command, not a user's.
  CLI::App* completion =
      app.add_subcommand("completion", "Print the bash completion script")->group("");
  completion->add_subcommand("bash", "Print the bash completion script")->callback([&app] {
    std::fputs(Script(app).c_str(), stdout);
  });
  completion->add_subcommand("synopsis", "Print the SYNOPSIS of the manual page")->callback([&app] {
    std::fputs(Synopsis(app).c_str(), stdout);
  });
  completion->require_subcommand(1);
}

}  // namespace zqutil
