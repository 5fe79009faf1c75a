// velta: the command-line window onto stores, built on libvelta.so alone.
//
// This file declares the command line (CLI11) and maps every way a command
// can stop to the documented exit codes; the commands live in
// read_commands.cc, write_commands.cc and import_command.cc, store access in
// store_access.cc. velta.1 is the manual.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <new>
#include <string>

#include "commands.h"
#include "store_access.h"
#include "velta.h"

#ifndef VELTA_TOOL_VERSION
#define VELTA_TOOL_VERSION "0.0.0"
#endif

namespace {

using velta::tool::Options;

constexpr const char* kFooter =
    "Exit codes: 0 ok, 1 not found or no hits, 2 usage, 3 conflict or locked,\n"
    "4 damaged store, 5 I/O error. A write command that fails leaves the store\n"
    "unchanged. See velta(1).";

struct Cli {
  CLI::App app{"velta: keep and inspect versioned texts in a velta store", "velta"};
  Options o;
  std::function<int(const Options&)> run;
  std::string help_topic;

  CLI::App* command(const char* name, const char* what, int (*fn)(const Options&)) {
    CLI::App* sub = app.add_subcommand(name, what);
    sub->callback([this, fn] { run = fn; });
    return sub;
  }
  void store(CLI::App* sub) { sub->add_option("STORE", o.store, "store file")->required(); }
  void object(CLI::App* sub) { sub->add_option("NAME", o.name, "object name")->required(); }
  void json(CLI::App* sub) { sub->add_flag("--json", o.json, "print JSON"); }

  void declare() {
    app.require_subcommand(1);
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("velta " VELTA_TOOL_VERSION " (") +
                                          vl_capi_version() + ", store format " +
                                          std::to_string(vl_format_version()) + ")");

    CLI::App* help = app.add_subcommand("help", "describe velta or one command");
    help->add_option("COMMAND", help_topic, "command to describe");
    help->callback([this] { run = [this](const Options&) { return show_help(); }; });

    CLI::App* sub = command("init", "create an empty store", velta::tool::cmd_init);
    store(sub);

    sub = command("put", "store a file (or stdin) as the next version of an object",
                  velta::tool::cmd_put);
    store(sub);
    object(sub);
    sub->add_option("FILE", o.file, "input file; - or absent reads standard input");
    sub->add_flag("--force", o.force, "add a version even when the content is unchanged");
    sub->add_flag("--binary", o.binary, "create a binary object (content-defined chunks)");
    sub->add_option("--chunk-size", o.chunk_size, "binary: target chunk bytes (default 4096)");
    sub->add_option("--min-chunk", o.min_chunk, "binary: smallest chunk bytes");
    sub->add_option("--max-chunk", o.max_chunk, "binary: largest chunk bytes");
    sub->add_flag("--fixed", o.fixed_chunks, "binary: fixed-size chunks of --chunk-size");

    sub = command("cat", "print a version of an object", velta::tool::cmd_cat);
    store(sub);
    object(sub);
    sub->add_option("-v,--version", o.version, "version index, 0 = oldest (default: newest)");
    sub->add_option("--range", o.range, "only bytes START:LEN");
    sub->add_option("-o,--output", o.output, "write to FILE instead of standard output");

    sub = command("log", "list an object's versions: bytes, tokens, changed span",
                  velta::tool::cmd_log);
    store(sub);
    object(sub);
    json(sub);

    sub = command("diff", "unified line diff between two versions", velta::tool::cmd_diff);
    store(sub);
    object(sub);
    sub->add_option("A", o.a, "older version")->required();
    sub->add_option("B", o.b, "newer version")->required();

    sub = command("ls", "list objects", velta::tool::cmd_ls);
    store(sub);
    json(sub);

    sub = command("rm", "delete an object and its history", velta::tool::cmd_rm);
    store(sub);
    object(sub);

    sub = command("mv", "rename an object, keeping its history", velta::tool::cmd_mv);
    store(sub);
    object(sub);
    sub->add_option("NEW", o.new_name, "new name")->required();

    sub = command("search", "find a byte string in current (or all) versions",
                  velta::tool::cmd_search);
    store(sub);
    sub->add_option("PATTERN", o.pattern, "bytes to find (after -- when it starts with -)");
    sub->add_option("-e,--pattern", o.pattern, "bytes to find, even when they start with -");
    sub->add_option("-n,--max", o.max_hits, "most hits to print (default 100)");
    sub->add_flag("--all-versions", o.all_versions, "search every version, not only the newest");
    sub->add_flag("--count", o.count, "print hit counts per object instead of hits");
    json(sub);

    sub = command("history", "versions that changed bytes START..START+LEN",
                  velta::tool::cmd_history);
    store(sub);
    object(sub);
    sub->add_option("START", o.start, "first byte")->required();
    sub->add_option("LEN", o.length, "byte count")->required();
    json(sub);

    sub = command("merge", "merge version OTHER's change against BASE into the newest",
                  velta::tool::cmd_merge);
    store(sub);
    object(sub);
    sub->add_option("BASE", o.a, "version OTHER changed")->required();
    sub->add_option("OTHER", o.b, "version with the change to merge")->required();
    sub->add_flag("--preview", o.preview, "report what would merge; write nothing");

    sub = command("train", "train the store's dictionary on a sample file", velta::tool::cmd_train);
    store(sub);
    sub->add_option("SAMPLE", o.file, "sample file")->required();
    sub->add_option("--passes", o.passes, "training passes (default 4)");
    sub->add_option("--per-pass", o.per_pass, "entries learned per pass (default 1000)");
    sub->add_option("--min-count", o.min_count, "least pair count to learn (default 2)");

    sub = command("trim", "drop all but the newest versions of an object", velta::tool::cmd_trim);
    store(sub);
    object(sub);
    sub->add_option("--keep", o.keep, "versions to keep (at least 1)")->required();

    sub = command("save", "rewrite the store in another layout", velta::tool::cmd_save);
    store(sub);
    auto* layout = sub->add_option_group("layout", "at most one of");
    layout->add_flag_callback(
        "--mappable", [this] { o.layout = "mappable"; },
        "tokens in a trailer, opened without copying");
    layout->add_flag_callback(
        "--zstd", [this] { o.layout = "zstd"; }, "compressed (default)");
    layout->add_flag_callback(
        "--zlib", [this] { o.layout = "zlib"; }, "not offered; see velta(1)");
    layout->add_flag_callback(
        "--plain", [this] { o.layout = "plain"; }, "uncompressed");
    layout->require_option(0, 1);

    sub = command("verify", "check a store's header, checksums and every version",
                  velta::tool::cmd_verify);
    store(sub);

    sub = command("unlock", "remove a stale commit lock", velta::tool::cmd_unlock);
    store(sub);
    sub->add_flag("--force", o.force, "remove the lock even if its holder still runs");

    sub = command("import", "add many versions in one commit: files, a directory, or git history",
                  velta::tool::cmd_import);
    store(sub);
    sub->add_option("INPUT", o.inputs, "a directory, files in order, or with --git paths");
    sub->add_option("--git", o.git_repo, "read every version of the PATHs from this repository");
    sub->add_option("--name", o.name, "object name (default: directory or first file name)");
    sub->add_flag("--force", o.force, "keep identical consecutive versions");

    sub = command("info", "facts about a store", velta::tool::cmd_info);
    store(sub);
    json(sub);
  }

  int show_help() {
    if (help_topic.empty()) {
      std::fputs(app.help().c_str(), stdout);
      return velta::tool::kExitOk;
    }
    for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
      if (sub->get_name() == help_topic) {
        std::fputs(sub->help().c_str(), stdout);
        return velta::tool::kExitOk;
      }
    }
    std::fprintf(stderr, "velta: no command '%s'; velta help lists them\n", help_topic.c_str());
    return velta::tool::kExitUsage;
  }
};

}  // namespace

int main(int argc, char** argv) {
  Cli cli;
  try {
    cli.declare();
    cli.app.parse(argc, argv);
    return cli.run ? cli.run(cli.o) : velta::tool::kExitUsage;
  } catch (const CLI::CallForHelp& e) {
    return cli.app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return cli.app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "velta: %s\nRun 'velta help' for usage.\n", e.what());
    return velta::tool::kExitUsage;
  } catch (const velta::tool::Failure& e) {
    std::fprintf(stderr, "velta: %s\n", e.what());
    return e.code();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "velta: out of memory\n");
    return velta::tool::kExitIo;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velta: %s\n", e.what());
    return velta::tool::kExitIo;
  }
}
