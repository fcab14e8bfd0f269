#include "cli/records/record_json.h"

#include "cli/json_line.h"
#include "cli/records/flat_json.h"
#include "cli/records/uuid.h"

namespace lumo::cli::records {

namespace {

void AddOptional(JsonLine& line, std::string_view key, const std::optional<std::string>& value) {
    value ? line.Add(key, *value) : line.AddNull(key);
}

// Reads the fields of an object; the first problem is kept in `error`.
class Fields {
  public:
    explicit Fields(const JsonObject& object) : object_(object) {}

    std::string error;

    std::string Text(std::string_view key) {
        const auto* value = Find(key);
        if (!value) return {};
        if (const auto* s = std::get_if<std::string>(value)) return *s;
        Wrong(key, "a string");
        return {};
    }
    std::optional<std::string> OptionalText(std::string_view key) {
        const auto* value = Find(key);
        if (!value || std::holds_alternative<JsonNull>(*value)) return std::nullopt;
        if (const auto* s = std::get_if<std::string>(value)) return *s;
        Wrong(key, "a string or null");
        return std::nullopt;
    }
    std::uint64_t Count(std::string_view key) {
        const auto* value = Find(key);
        if (!value) return 0;
        const auto* n = std::get_if<std::int64_t>(value);
        if (n && *n >= 0) return static_cast<std::uint64_t>(*n);
        Wrong(key, "a whole number of at least 0");
        return 0;
    }
    std::optional<int> OptionalInt(std::string_view key) {
        const auto* value = Find(key);
        if (!value || std::holds_alternative<JsonNull>(*value)) return std::nullopt;
        const auto* n = std::get_if<std::int64_t>(value);
        if (n && *n >= 0 && *n <= 255) return static_cast<int>(*n);
        Wrong(key, "an exit status from 0 to 255 or null");
        return std::nullopt;
    }
    bool Flag(std::string_view key) {
        const auto* value = Find(key);
        if (!value) return false;
        if (const auto* b = std::get_if<bool>(value)) return *b;
        Wrong(key, "true or false");
        return false;
    }
    // Fields a writer may leave out: none of those above but these.
    std::uint64_t CountOr0(std::string_view key) {
        return object_.count(key) ? Count(key) : 0;
    }
    std::string TextOrEmpty(std::string_view key) {
        return object_.count(key) ? Text(key) : std::string();
    }

  private:
    const JsonValue* Find(std::string_view key) {
        const auto it = object_.find(key);
        if (it != object_.end()) return &it->second;
        if (error.empty()) error = std::string("no \"").append(key).append("\"");
        return nullptr;
    }
    void Wrong(std::string_view key, std::string_view what) {
        // Appended piece by piece: GCC 12's -Wrestrict misreads "literal" + std::string at -O3.
        if (error.empty()) error = std::string("\"").append(key).append("\" is not ").append(what);
    }

    const JsonObject& object_;
};

}  // namespace

std::string RecordJson(const Record& r, bool with_writer) {
    JsonLine line;
    line.Add("id", r.id)
        .Add("station", r.station)
        .Add("host", r.host)
        .Add("tool_version", r.tool_version)
        .Add("unit", r.unit);
    AddOptional(line, "serial", r.serial);
    AddOptional(line, "port", r.port);
    line.Add("product", r.product)
        .Add("image", r.image)
        .Add("image_bytes", r.image_bytes)
        .Add("image_sha256", r.image_sha256)
        .Add("stand_in", r.stand_in)
        .Add("started_at", r.started_at);
    AddOptional(line, "ended_at", r.ended_at);
    line.Add("blocks_written", r.blocks_written)
        .Add("blocks", r.blocks)
        .Add("resumes", r.resumes)
        .Add("outcome", r.outcome);
    AddOptional(line, "reason", r.reason);
    r.exit ? line.Add("exit", static_cast<std::uint64_t>(*r.exit)) : line.AddNull("exit");
    if (with_writer) line.Add("pid", r.pid).Add("process_start", r.process_start);
    return line.str();
}

std::optional<Record> RecordFromJson(std::string_view text, std::string& error) {
    const auto object = ParseFlatJson(text, error);
    if (!object) return std::nullopt;
    Fields f(*object);
    Record r;
    r.id = f.Text("id");
    r.station = f.Text("station");
    r.host = f.Text("host");
    r.tool_version = f.Text("tool_version");
    r.unit = f.Text("unit");
    r.serial = f.OptionalText("serial");
    r.port = f.OptionalText("port");
    r.product = f.Text("product");
    r.image = f.Text("image");
    r.image_bytes = f.Count("image_bytes");
    r.image_sha256 = f.Text("image_sha256");
    r.stand_in = f.Flag("stand_in");
    r.started_at = f.Text("started_at");
    r.ended_at = f.OptionalText("ended_at");
    r.blocks_written = f.Count("blocks_written");
    r.blocks = f.Count("blocks");
    r.resumes = f.Count("resumes");
    r.outcome = f.Text("outcome");
    r.reason = f.OptionalText("reason");
    r.exit = f.OptionalInt("exit");
    r.pid = f.CountOr0("pid");
    r.process_start = f.TextOrEmpty("process_start");
    if (f.error.empty() && !IsUuid(r.id)) f.error = "\"id\" is not a UUID";
    if (f.error.empty() && !IsOutcome(r.outcome)) f.error = "unknown outcome \"" + r.outcome + "\"";
    if (!f.error.empty()) {
        error = f.error;
        return std::nullopt;
    }
    return r;
}

}  // namespace lumo::cli::records
