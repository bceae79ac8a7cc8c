#include "core/search/hybrid.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "core/io/files.hpp"
#include "core/search/rule.hpp"
#include "core/text/text.hpp"

namespace corvane::search {

namespace {
// Question words and particles ("how", "what", "can it", "吗", "的", ...):
// they occur in almost every question and in some scene texts, so matching
// them -- or a bigram that straddles one of them and a topic word, such as
// 以选 in 可以选 -- says nothing about the topic.  They are taken out of the
// query before it is cut into terms, the text on either side closing up
// (充电的时候 reads as 充电时候, whose 电时 a scene's 充电时 holds): scanning
// left to right, the longest listed word starting at a character is dropped.
constexpr std::string_view kQuestionWords[] = {
    "是什么意思", "什么时候", "什么意思", "怎么办", "怎么样", "为什么", "能不能", "是不是", "有没有", "会不会", "要不要",
    "是什么", "什么是", "是啥意思", "是啥", "啥意思", "咋办", "咋样", "咋", "啥",
    "怎么", "怎样", "什么", "如何", "哪里", "哪儿", "哪个", "哪些", "在哪", "多少", "可以", "一下",
    "的话", "这个", "那个", "是否", "能否", "还是", "吗", "呢", "吧", "啊", "的", "了",
};

// The first character of every question word (each is one Chinese character
// or more, so three bytes and up), hashed into a bit table: a clear bit says
// that no word begins at a character, which is so for most of them.
constexpr unsigned start_key(std::string_view s) {
    return ((static_cast<unsigned char>(s[0]) * 131u + static_cast<unsigned char>(s[1])) * 131u +
            static_cast<unsigned char>(s[2])) % 4096u;
}
constexpr std::array<std::uint64_t, 64> kQuestionWordStarts = [] {
    std::array<std::uint64_t, 64> bits{};
    for (std::string_view w : kQuestionWords) bits[start_key(w) / 64] |= std::uint64_t{1} << (start_key(w) % 64);
    return bits;
}();
static_assert(std::ranges::all_of(kQuestionWords, [](std::string_view w) { return w.size() >= 3; }));

std::string without_question_words(std::string_view q) {
    std::string out;
    out.reserve(q.size());
    std::size_t i = 0;
    while (i < q.size()) {
        std::size_t best = 0;
        const unsigned key = i + 3 <= q.size() ? start_key(q.substr(i)) : 0;
        if (i + 3 <= q.size() && (kQuestionWordStarts[key / 64] >> (key % 64) & 1))
            for (std::string_view w : kQuestionWords)
                if (w.size() > best && q.substr(i, w.size()) == w) best = w.size();
        if (best) {
            i += best;
            continue;
        }
        std::size_t j = i;
        uni::next(q, j);
        out.append(q.substr(i, j - i));
        i = j;
    }
    return out;
}
}  // namespace

namespace {
std::uint16_t chars_of(std::string_view normalized) {
    std::size_t n = 0, i = 0;
    while (i < normalized.size()) {
        const char32_t c = uni::next(normalized, i);
        if (c != ' ' && c != '\n') ++n;
    }
    return static_cast<std::uint16_t>(std::min<std::size_t>(n, 0xFFFF));
}
}  // namespace

TitleLengths TitleLengths::of_title(std::string_view title) {
    TitleLengths t;
    t.title = chars_of(text::normalize_text(title));
    t.base = chars_of(text::normalize_text(base_title(title)));
    return t;
}

void TitleLengths::add_alias(std::string_view alias) {
    const std::uint16_t n = chars_of(text::normalize_text(alias));
    if (n && (this->alias == 0 || n < this->alias)) this->alias = n;
}

std::size_t TitleLengths::matched(int exact_score, bool base_matched) const {
    // The global search gives a title 15 points, an alias 12 and keywords 2
    // each: an odd score holds the title.
    if (exact_score % 2 == 1) return title;
    if (base_matched) return std::max(base, alias);
    return alias;
}

// Terms absent from the index whose homophones are looked up, per query: a
// question holds one or two slips, and each lookup probes dozens of terms.
constexpr std::size_t kHomophoneTerms = 3;
// A character of such a term that begins at most this many terms of the
// index adds them to the question's partial terms.
constexpr std::size_t kPartialTerms = 4;

FusedQuery read_fused_query(std::string_view raw_query, const Synonyms& synonyms, const Bm25View& bm,
                            bool partial_wanted) {
    FusedQuery fq;
    fq.expanded = synonyms.expand_sounding(text::to_simplified(raw_query));
    fq.terms = hybrid_terms(fq.expanded);
    const std::string_view own = std::string_view(fq.expanded).substr(0, fq.expanded.find('\n'));
    fq.content_chars = chars_of(without_question_words(own));
    std::u32string t;
    std::size_t tried = 0;
    fq.variants_of.resize(fq.terms.size());
    for (std::size_t j = 0; j < fq.terms.size(); ++j) {
        const std::string& term = fq.terms[j];
        if (tried >= kHomophoneTerms) break;
        if (bm.find(term) >= 0) continue;
        t.clear();
        std::size_t i = 0;
        bool han = true;
        while (i < term.size()) {
            const char32_t c = uni::next(term, i);
            han = han && text::sound_of(c) >= 0;
            t.push_back(c);
        }
        if (!han || t.size() != 2) continue;
        ++tried;
        auto add = [&](std::string v) {
            if (std::find(fq.terms.begin(), fq.terms.end(), v) != fq.terms.end()) return;
            const auto at = std::find(fq.homophones.begin(), fq.homophones.end(), v);
            fq.variants_of[j].push_back(static_cast<std::uint32_t>(at - fq.homophones.begin()));
            if (at == fq.homophones.end()) fq.homophones.push_back(std::move(v));
        };
        for (std::string& v : text::homophone_variants(t, [&](std::string_view x) { return bm.find(x) >= 0; }, 4))
            add(std::move(v));
        if (!partial_wanted) continue;
        // A character few terms begin with (拖 of 拖着: 拖车) keeps some
        // meaning where its neighbour changed: those terms, weighed apart.
        for (const char32_t c : t) {
            std::string one;
            uni::append_utf8(one, c);
            std::vector<std::string> with = bm.terms_with_prefix(one, kPartialTerms);
            if (with.size() > kPartialTerms) continue;
            for (std::string& v : with)
                if (std::find(fq.terms.begin(), fq.terms.end(), v) == fq.terms.end() &&
                    std::find(fq.partials.begin(), fq.partials.end(), v) == fq.partials.end())
                    fq.partials.push_back(std::move(v));
        }
    }
    std::erase_if(fq.partials, [&](const std::string& v) {
        return std::find(fq.homophones.begin(), fq.homophones.end(), v) != fq.homophones.end();
    });
    return fq;
}

double* fused_weight_slot(FusedWeights& w, std::string_view name) {
    for (const FusedFeatureName& f : kFusedFeatures)
        if (f.name == name) return &(w.*f.weight);
    if (name.starts_with("refuse_"))
        for (const FusedFeatureName& f : kRefusalFeatures)
            if (f.name == name.substr(7)) return &(w.*f.weight);
    if (name == "threshold") return &w.threshold;
    if (name == "answer_share") return &w.answer_share;
    if (name == "whole_match") return &w.whole_match;
    return nullptr;
}

std::string fused_weight_names() {
    std::string out;
    for (const FusedFeatureName& f : kFusedFeatures) out.append(f.name).append(", ");
    for (const FusedFeatureName& f : kRefusalFeatures) out.append("refuse_").append(f.name).append(", ");
    return out + "threshold, answer_share, whole_match";
}

namespace {
// Whether one candidate holds every term of the question, a term the index
// lacks counted as held through any of its homophones; false when such a
// term has none.
bool whole_with_homophones(const FusedQuery& q, const Bm25View& bm, const std::vector<FusedCandidate>& cand) {
    if (q.terms.empty() || cand.empty()) return false;
    std::vector<std::uint32_t> ids;
    ids.reserve(cand.size());
    for (const FusedCandidate& c : cand) ids.push_back(c.entry);
    // holds[i]: candidate i holds every term looked at so far.
    std::vector<char> holds(cand.size(), 1);
    auto holding = [&](const std::string& t, std::vector<char>& any) {
        const std::int64_t tid = bm.find(t);
        if (tid < 0) return;
        const std::uint32_t one = static_cast<std::uint32_t>(tid);
        const std::vector<double> s = bm.score_ids(std::span<const std::uint32_t>(&one, 1), ids);
        for (std::size_t i = 0; i < cand.size(); ++i) any[i] |= s[i] > 0;
    };
    std::vector<char> any(cand.size());
    for (std::size_t j = 0; j < q.terms.size(); ++j) {
        std::fill(any.begin(), any.end(), 0);
        if (bm.find(q.terms[j]) >= 0) {
            holding(q.terms[j], any);
        } else {
            if (j >= q.variants_of.size() || q.variants_of[j].empty()) return false;
            for (const std::uint32_t v : q.variants_of[j]) holding(q.homophones[v], any);
        }
        bool some = false;
        for (std::size_t i = 0; i < cand.size(); ++i) some |= (holds[i] &= any[i]) != 0;
        if (!some) return false;
    }
    return true;
}

// Terms of a question one image holds, each with its id there (looked up once).
struct HeldTerms {
    std::vector<std::string_view> terms;
    std::vector<std::uint32_t> ids;
    void add(std::string_view t, std::uint32_t id) {
        terms.push_back(t);
        ids.push_back(id);
    }
    void append(const HeldTerms& o) {
        terms.insert(terms.end(), o.terms.begin(), o.terms.end());
        ids.insert(ids.end(), o.ids.begin(), o.ids.end());
    }
    std::size_t size() const { return ids.size(); }
    bool empty() const { return ids.empty(); }
};

// Scores of the path field by entry: each entry's path's (the values of
// Bm25Scorer over an image with one document per entry).
class PathScorer {
public:
    PathScorer() = default;
    PathScorer(const PathField& f, std::vector<std::uint32_t> ids) : by_doc_(*f.view, std::move(ids)), groups_(&f.groups) {}
    double operator()(std::uint32_t entry) const { return by_doc_(groups_->doc(entry)); }
    void prefill(std::span<const std::uint32_t> entries) const {
        std::vector<std::uint32_t> docs;
        docs.reserve(entries.size());
        for (const std::uint32_t e : entries) docs.push_back(groups_->doc(e));
        by_doc_.prefill(docs);
    }

private:
    Bm25Scorer by_doc_;
    const DocGroups* groups_ = nullptr;
};

FusedEvidence evidence(const FusedQuery& q, const std::vector<TitleMatch>& titles, const Bm25View& bm,
                       const FusedWeights& w, std::size_t top_k, const PathField* path_field, const DocFilter* allowed,
                       const Bm25View* tables, bool all_features) {
    FusedEvidence ev;
    const std::size_t n = bm.size();
    if (top_k == 0 || n == 0) {
        ev.refused = true;
        return ev;
    }
    const double unit = std::log(1 + std::max(0.0, static_cast<double>(n) - 0.5) / 1.5);
    ev.unit = unit;
    // Each image is asked only for the terms it holds: a term is looked up
    // once here instead of once per scored entry.
    // (Each list keeps the ids found, which the walks and scorers take.)
    auto held = [](const Bm25View& v, const std::vector<std::string>& ts) {
        HeldTerms out;
        for (const std::string& t : ts)
            if (const std::int64_t id = v.find(t); id >= 0) out.add(t, static_cast<std::uint32_t>(id));
        return out;
    };
    const HeldTerms body_terms = held(bm, q.terms);
    const HeldTerms homophones = held(bm, q.homophones);  // all held, by construction
    const HeldTerms partials = held(bm, q.partials);
    ev.terms = q.terms.size();
    ev.held_terms = body_terms.size();
    // The partial terms find candidates only when weighed (the features of
    // every candidate still hold them, for training).
    const bool partial_pool = w.partial > 0 && !q.partials.empty();
    HeldTerms all = body_terms;
    all.append(homophones);
    if (partial_pool) all.append(partials);
    // Entries are scored through these (each term looked up once, each
    // entry's score kept): the values of bm.score(terms, entry).
    const Bm25Scorer score_all(bm, all.ids), score_body(bm, body_terms.ids), score_homophones(bm, homophones.ids),
        score_partials(bm, partials.ids);
    const bool body_alone = q.homophones.empty() && !partial_pool;  // score_all is the body score
    // Candidates: the best BM25 entries over all terms, and the title matches.
    // A filtered search widens the pool (the allowed entries are fewer, and
    // their ranking should be the full one's with the others taken out).
    const std::size_t pool = std::max<std::size_t>(2 * top_k, allowed ? 32 : 8);
    const std::size_t path_pool = allowed ? std::max<std::size_t>(top_k, 16) : top_k;
    auto query_of = [](const HeldTerms& ts) {
        std::vector<QueryTerm> qt;
        qt.reserve(ts.size());
        for (std::size_t i = 0; i < ts.size(); ++i) qt.push_back({ts.terms[i], 1.0, ts.ids[i]});
        return qt;
    };
    auto best = [&](const Bm25View& v, const HeldTerms& ts, std::size_t k) { return v.top_k(query_of(ts), k, allowed); };
    // The path image's documents are the distinct paths: its best entries.
    auto best_entries = [&](const HeldTerms& ts, std::size_t k) {
        return path_field->view->top_k_entries(query_of(ts), k, path_field->groups, allowed);
    };
    std::vector<Hit> hits = all.empty() ? std::vector<Hit>{} : best(bm, all, pool);
    const std::size_t bm25_hits = hits.size();
    const bool has_path = path_field && path_field->view && path_field->groups.entries() == n &&
                          path_field->view->size() == path_field->groups.docs() && path_field->view->term_count() > 0;
    const Bm25View* path = has_path ? path_field->view : nullptr;
    const bool path_pooled = has_path && (w.path > 0 || w.path_homophone > 0);
    const HeldTerms path_terms = has_path && (all_features || w.path > 0) ? held(*path, q.terms) : HeldTerms{};
    const HeldTerms path_homophones =
        has_path && (all_features || w.path_homophone > 0) ? held(*path, q.homophones) : HeldTerms{};
    // The path image adds the few entries whose path alone matches best (a
    // generic sub-heading whose topic is only in its parent heading).
    if (path_pooled) {
        HeldTerms path_all = w.path > 0 ? path_terms : HeldTerms{};
        if (w.path_homophone > 0) path_all.append(path_homophones);
        if (!path_all.empty())
            for (const Hit& h : best_entries(path_all, path_pool))
                if (std::none_of(hits.begin(), hits.end(), [&](const Hit& x) { return x.first == h.first; }))
                    hits.push_back({h.first, score_all(h.first)});
    }
    const bool has_tables = tables && tables->size() == n && tables->term_count() > 0 && (all_features || w.tables > 0);
    const HeldTerms table_terms = has_tables ? held(*tables, q.terms) : HeldTerms{};
    const Bm25Scorer score_tables = table_terms.empty() ? Bm25Scorer() : Bm25Scorer(*tables, table_terms.ids);
    const PathScorer score_path = path_terms.empty() ? PathScorer() : PathScorer(*path_field, path_terms.ids);
    const PathScorer score_path_homophones =
        path_homophones.empty() ? PathScorer() : PathScorer(*path_field, path_homophones.ids);
    // The coverage feature: the idf of every held term, and per candidate
    // which of them its texts hold (filled below, once the candidates are known).
    const bool with_coverage = all_features || w.coverage > 0 || w.refuse_coverage > 0;
    auto features = [&](std::uint32_t id, double whole, std::size_t chars, bool matched) {
        std::array<double, kFusedFeatureCount> f{};
        f[fused_feature("body")] = body_alone ? whole : score_body(id);
        f[fused_feature("homophone")] = q.homophones.empty() ? 0.0 : score_homophones(id);
        f[fused_feature("partial")] = q.partials.empty() ? 0.0 : score_partials(id);
        f[fused_feature("path")] = path_terms.empty() ? 0.0 : score_path(id);
        f[fused_feature("path_homophone")] = path_homophones.empty() ? 0.0 : score_path_homophones(id);
        f[fused_feature("tables")] = table_terms.empty() ? 0.0 : score_tables(id);
        if (matched) {
            const double share = q.content_chars ? std::min(1.0, static_cast<double>(chars) / q.content_chars) : 1.0;
            f[fused_feature("title")] = unit;
            f[fused_feature("cover")] = unit * share;
            f[fused_feature("length")] = unit * static_cast<double>(std::min<std::size_t>(chars, 8)) / 8.0;
        }
        // coverage: filled below, once the candidates are known.
        return f;
    };
    // The candidates, in their order: each matched title's entry once, then
    // the BM25 hits no title matched.  Their features are scored together,
    // term by term, before they are read one by one.
    std::unordered_map<std::uint32_t, std::uint32_t> hit_rank;  // first place of an entry among the hits
    for (std::size_t r = 0; r < hits.size(); ++r) hit_rank.emplace(hits[r].first, static_cast<std::uint32_t>(r));
    std::unordered_set<std::uint32_t> titled;
    std::vector<const TitleMatch*> title_cands;
    for (const TitleMatch& t : titles) {
        if (t.entry >= n) continue;
        const bool first = titled.insert(t.entry).second;
        if (first) title_cands.push_back(&t);
    }
    std::vector<std::uint32_t> title_ids, ids;
    for (const TitleMatch* t : title_cands) title_ids.push_back(t->entry);
    ids = title_ids;
    for (const Hit& h : hits)
        if (!titled.count(h.first)) ids.push_back(h.first);
    score_all.prefill(title_ids);
    if (!body_alone) score_body.prefill(ids);
    if (!q.homophones.empty()) score_homophones.prefill(ids);
    if (!q.partials.empty()) score_partials.prefill(ids);
    if (!path_terms.empty()) score_path.prefill(ids);
    if (!path_homophones.empty()) score_path_homophones.prefill(ids);
    if (!table_terms.empty()) score_tables.prefill(ids);
    std::vector<FusedCandidate> cand;
    cand.reserve(ids.size());
    for (const TitleMatch* t : title_cands) {
        if (q.content_chars) ev.title_share = std::max(ev.title_share, static_cast<double>(t->chars) / q.content_chars);
        const auto at = hit_rank.find(t->entry);
        const std::uint32_t rank = at != hit_rank.end() && at->second < bm25_hits ? at->second : static_cast<std::uint32_t>(pool);
        cand.push_back({t->entry, 1, rank, features(t->entry, score_all(t->entry), t->chars, true), 0.0});
    }
    for (std::size_t r = 0; r < hits.size(); ++r) {
        const Hit& h = hits[r];
        if (titled.count(h.first)) continue;
        const std::uint32_t rank = r < bm25_hits ? static_cast<std::uint32_t>(r) : static_cast<std::uint32_t>(pool);
        cand.push_back({h.first, 2, rank, features(h.first, h.second, 0, false), 0.0});
    }
    // How much of the question each candidate's texts hold: the coverage
    // feature (idf-weighted), and whether one candidate holds every term.
    double best_coverage = 0;
    bool one_holds_all = false;
    auto cover_candidates = [&] {
        if (body_terms.empty() || cand.empty()) return;
        std::vector<std::uint32_t> ids;
        for (const FusedCandidate& c : cand) ids.push_back(c.entry);
        std::vector<double> held_idf(cand.size(), 0.0);
        std::vector<std::size_t> held_count(cand.size(), 0);
        double total = 0;
        for (const std::uint32_t one : body_terms.ids) {
            const double idf = bm.term_idf(one);
            total += idf;
            const std::vector<double> s = bm.score_ids(std::span<const std::uint32_t>(&one, 1), ids);
            for (std::size_t i = 0; i < cand.size(); ++i)
                if (s[i] > 0) {
                    held_idf[i] += idf;
                    ++held_count[i];
                }
        }
        for (std::size_t i = 0; i < cand.size(); ++i) one_holds_all |= held_count[i] == body_terms.size();
        if (total > 0)
            for (std::size_t i = 0; i < cand.size(); ++i) {
                double& f = cand[i].features[fused_feature("coverage")];
                f = unit * held_idf[i] / total;
                best_coverage = std::max(best_coverage, f);
            }
    };
    if (with_coverage) cover_candidates();
    double best_text = 0, top = 0;
    for (FusedCandidate& c : cand) {
        double s = 0;
        for (std::size_t i = 0; i < kFusedFeatureCount; ++i) s += w.*kFusedFeatures[i].weight * c.features[i];
        c.score = s;
        best_text = std::max(best_text, c.features[fused_feature("body")] + w.homophone * c.features[fused_feature("homophone")]);
        top = std::max(top, s);
    }
    std::sort(cand.begin(), cand.end(), [](const FusedCandidate& a, const FusedCandidate& b) {
        return a.score > b.score || (a.score == b.score && a.entry < b.entry);
    });
    // Refusal reads the evidence of the scene texts (BM25 over the terms and,
    // discounted, their homophones; how much of the question they hold) and
    // how much of the question a matched title covers: heading paths and
    // title bonuses order scenes but do not make a question answerable.
    ev.refusal = {best_text / unit, best_coverage / unit,
                  ev.terms ? static_cast<double>(ev.held_terms) / static_cast<double>(ev.terms) : 0.0, top / unit};
    double r = 0;
    for (std::size_t i = 0; i < kRefusalFeatureCount; ++i) r += w.*kRefusalFeatures[i].weight * ev.refusal[i];
    ev.refused = cand.empty() || (ev.title_share < w.answer_share && r < w.threshold);
    if (ev.refused || all_features) {
        if (ev.held_terms && ev.held_terms == ev.terms) {
            if (!with_coverage) cover_candidates();  // weighted 0 then: the scores above stand
            ev.whole = one_holds_all;
        } else {
            ev.whole = whole_with_homophones(q, bm, cand);
        }
        if (ev.refused && !cand.empty() && w.whole_match > 0) ev.refused = !ev.whole;
    }
    ev.candidates = std::move(cand);
    return ev;
}
}  // namespace

FusedEvidence fused_evidence(const FusedQuery& q, const std::vector<TitleMatch>& titles, const Bm25View& bm,
                             const FusedWeights& w, std::size_t top_k, const PathField* path, const DocFilter* allowed,
                             const Bm25View* tables) {
    return evidence(q, titles, bm, w, top_k, path, allowed, tables, true);
}

std::vector<Ranked> fuse(const FusedQuery& q, const std::vector<TitleMatch>& titles, const Bm25View& bm,
                         const FusedWeights& w, std::size_t top_k, const PathField* path, const DocFilter* allowed,
                         bool* refused, const Bm25View* tables) {
    std::vector<Ranked> out;
    if (top_k == 0 || bm.size() == 0) return out;
    const FusedEvidence ev = evidence(q, titles, bm, w, top_k, path, allowed, tables, false);
    if (refused) *refused = ev.refused;
    else if (ev.refused) return out;
    for (const FusedCandidate& c : ev.candidates) {
        if (out.size() >= top_k) break;
        out.push_back({c.entry, c.score, c.stage});
    }
    return out;
}

std::string_view base_title(std::string_view title) {
    std::string_view t = text::rstrip(title);
    for (auto [open, close] : {std::pair<std::string_view, std::string_view>{"（", "）"}, {"(", ")"}}) {
        if (t.size() < close.size() || t.substr(t.size() - close.size()) != close) continue;
        const std::size_t at = t.rfind(open);
        if (at == std::string_view::npos || at == 0) continue;
        const std::string_view head = text::rstrip(t.substr(0, at));
        if (!head.empty()) return head;
    }
    return title;
}

HybridBuilder::HybridBuilder(const HybridParams& params) : params_(params), bm25_(params.bm25) {
    if (!std::isfinite(params.threshold) || params.threshold < 0 || !std::isfinite(params.weights.threshold) ||
        params.weights.threshold < 0)
        throw Bm25Error("threshold must be a number of 0 or more");
}

void HybridBuilder::add_exact_text(std::string_view text, bool keyword) {
    norm_.clear();
    text::append_normalized(norm_, text);
    if (keyword && !scoring::longer_than_one_char(norm_)) return;  // never counts
    if (norm_.size() >= (1u << 24)) norm_.clear();  // a 16 MB text: taken as one that never occurs
    auto it = text_ids_.find(std::string_view(norm_));
    if (it == text_ids_.end()) {
        const std::uint64_t off = exact_texts_.size();
        if (off >= (std::uint64_t{1} << 40) || exact_spans_.size() >= UINT32_MAX)
            throw Bm25Error("index texts too large");
        exact_texts_ += norm_;
        exact_spans_.push_back(off << 24 | norm_.size());
        it = text_ids_.emplace(norm_, static_cast<std::uint32_t>(exact_spans_.size() - 1)).first;
    }
    if (entry_items_.size() >= UINT32_MAX) throw Bm25Error("index texts too large");
    entry_items_.push_back(it->second);
}

std::uint32_t HybridBuilder::begin_entry(std::string_view title) {
    title_.assign(title);
    entry_start_.push_back(static_cast<std::uint32_t>(entry_items_.size()));
    alias_count_.push_back(0);
    add_exact_text(title, false);
    lengths_.push_back(TitleLengths::of_title(title));
    const std::uint32_t id = strong_.begin_entry(title);
    const std::string_view base = base_title(title);
    if (base.size() != title.size()) strong_.add_alias(base);
    bm25_.begin_entry();
    bm25_.add_text(kTitle, title);
    return id;
}

void HybridBuilder::add_alias(std::string_view alias) {
    if (entry_start_.empty()) throw Bm25Error("add_alias before begin_entry");
    // Aliases come before keywords (the bindings add them in that order).
    if (entry_start_.back() + 1 + alias_count_.back() != entry_items_.size())
        throw Bm25Error("aliases must be added before keywords");
    add_exact_text(alias, false);
    ++alias_count_.back();
    lengths_.back().add_alias(alias);
    strong_.add_alias(alias);
    if (alias != title_) bm25_.add_text(kAliases, alias);
}

void HybridBuilder::add_keyword(std::string_view keyword) {
    if (entry_start_.empty()) throw Bm25Error("add_keyword before begin_entry");
    add_exact_text(keyword, true);
}

void HybridBuilder::add_text(Field field, std::string_view text) {
    if (field == kTitle || field == kAliases) throw Bm25Error("titles and aliases are added with begin_entry and add_alias");
    bm25_.add_text(field, text);
}

void HybridBuilder::add_synonym(std::string_view colloquial, std::string_view wording) {
    synonyms_.add(colloquial, wording);
}

HybridRanker HybridBuilder::build() {
    HybridRanker r;
    r.params_ = params_;
    r.exact_texts_ = std::move(exact_texts_);
    r.exact_spans_ = std::move(exact_spans_);
    r.entry_items_ = std::move(entry_items_);
    text_ids_.clear();
    r.entry_start_ = std::move(entry_start_);
    r.alias_count_ = std::move(alias_count_);
    r.lengths_ = std::move(lengths_);
    r.strong_ = strong_.compile();
    synonyms_.compile();
    r.synonyms_ = std::move(synonyms_);
    synonyms_ = Synonyms();
    r.bm25_ = bm25_.build();
    if (has_paths_) {
        if (paths_.size() != r.bm25_.view().size()) throw Bm25Error("heading paths: one per entry expected");
        r.path_ = GroupedBm25::build(paths_);
        paths_.clear();
        has_paths_ = false;
    }
    const double n = r.bm25_.view().size();
    r.score_threshold_ = score_threshold_for(r.threshold(), static_cast<std::size_t>(n));
    return r;
}

bool HybridRanker::base_matched(std::string_view q, std::uint32_t entry) const {
    const std::uint64_t span = exact_spans_[entry_items_[entry_start_[entry]]];
    const std::string_view title = std::string_view(exact_texts_).substr(span >> 24, span & 0xFFFFFF);
    const std::string_view base = base_title(title);
    return base.size() != title.size() && scoring::occurs(q, base);
}

int HybridRanker::exact_score(std::string_view q, std::uint32_t entry) const {
    if (entry >= entry_start_.size()) return 0;
    const std::size_t b = entry_start_[entry];
    const std::size_t e = entry + 1 < entry_start_.size() ? entry_start_[entry + 1] : entry_items_.size();
    auto text = [&](std::size_t i) {
        const std::uint64_t span = exact_spans_[entry_items_[i]];
        return std::string_view(exact_texts_).substr(span >> 24, span & 0xFFFFFF);
    };
    const bool title = scoring::occurs(q, text(b));
    bool alias = false;
    const std::size_t a_end = b + 1 + alias_count_[entry];
    for (std::size_t i = b + 1; i < a_end && !alias; ++i) alias = scoring::occurs(q, text(i));
    int kw = 0;
    for (std::size_t i = a_end; i < e && kw < scoring::kMaxKeywords; ++i) kw += scoring::occurs(q, text(i));
    return scoring::points(title, alias, kw);
}

PathField HybridRanker::path_field() const {
    if (path_.groups.empty()) return {};
    return {&path_.image.view(), path_.doc_groups()};
}

std::string HybridRanker::expand(std::string_view raw_query) const { return synonyms_.expand(raw_query); }

std::vector<TitleMatch> HybridRanker::title_matches(const FusedQuery& fq) const {
    std::vector<TitleMatch> titles;
    for (const auto& [id, s] : strong_.search(fq.expanded, static_cast<long long>(size()))) {
        const int p = exact_score(fq.expanded, id);
        titles.push_back({id, lengths_[id].matched(p, base_matched(fq.expanded, id))});
    }
    return titles;
}

FusedEvidence HybridRanker::evidence(std::string_view raw_query, std::size_t top_k) const {
    if (top_k == 0 || size() == 0) return {};
    const FusedQuery fq = read_fused_query(raw_query, synonyms_, bm25_.view());
    const PathField path = path_field();
    return fused_evidence(fq, title_matches(fq), bm25_.view(), params_.weights, top_k, &path);
}

std::vector<Ranked> HybridRanker::search(std::string_view raw_query, std::size_t top_k) const {
    if (top_k == 0 || size() == 0) return {};
    if (params_.fused) {
        const FusedQuery fq = read_fused_query(raw_query, synonyms_, bm25_.view(), params_.weights.partial > 0);
        const PathField path = path_field();
        return fuse(fq, title_matches(fq), bm25_.view(), params_.weights, top_k, &path);
    }
    const std::string q = expand(raw_query);
    // Stage 1: title or alias containment.
    const auto strong = strong_.search(q, static_cast<long long>(size()));
    std::vector<std::pair<std::uint32_t, int>> first;
    first.reserve(strong.size());
    for (const auto& [id, s] : strong) first.emplace_back(id, exact_score(q, id));
    return merge_stages(std::move(first), hybrid_terms(q), bm25_.view(), score_threshold_, top_k);
}

// ---------------------------------------------------------------------------

void Synonyms::add(std::string_view colloquial, std::string_view wording) {
    std::string key = text::normalize_text(colloquial);
    if (key.empty()) throw Bm25Error("a synonym key is empty once normalized");
    builder_.begin_entry(key, true);
    values_.push_back(text::normalize_text(wording));
    key_text_.push_back(std::move(key));
}

void Synonyms::compile() {
    keys_ = builder_.compile();
    key_chars_.assign(values_.size(), {});
    by_sound_.clear();
    sound_lengths_.clear();
    for (std::uint32_t id = 0; id < values_.size(); ++id) {
        const std::string& key = key_text_[id];
        std::u32string chars;
        std::u16string sound;
        bool han = true;
        for (std::size_t i = 0; i < key.size() && han;) {
            const char32_t c = uni::next(key, i);
            const int s = text::sound_of(c);
            han = s >= 0;
            chars.push_back(c);
            sound.push_back(static_cast<char16_t>(s));
        }
        if (!han || chars.size() < 2) continue;
        by_sound_.emplace(sound, id);
        key_chars_[id] = std::move(chars);
        if (std::find(sound_lengths_.begin(), sound_lengths_.end(), key_chars_[id].size()) == sound_lengths_.end())
            sound_lengths_.push_back(key_chars_[id].size());
    }
}

std::vector<std::uint32_t> Synonyms::keys_in(std::string_view q) const {
    std::vector<std::uint32_t> ids;
    for (const auto& [id, s] : keys_.search(q, static_cast<long long>(values_.size()))) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::string Synonyms::with_values(std::string q, const std::vector<std::uint32_t>& ids) const {
    for (std::uint32_t id : ids) {
        q.push_back('\n');
        q += values_[id];
    }
    return q;
}

std::string Synonyms::expand_sounding(std::string_view raw_query) const {
    std::string q = text::normalize_text(raw_query);
    if (values_.empty()) return q;
    std::vector<std::uint32_t> ids = keys_in(q);
    const std::size_t exact = ids.size();
    // The question's own line, as characters and their sound ids (-1: none).
    const std::string_view own = std::string_view(q).substr(0, q.find('\n'));
    std::u32string chars;
    std::vector<int> sounds;
    for (std::size_t i = 0; i < own.size();) {
        const char32_t c = uni::next(own, i);
        chars.push_back(c);
        sounds.push_back(text::sound_of(c));
    }
    std::u16string window;
    for (const std::size_t len : sound_lengths_) {
        for (std::size_t at = 0; at + len <= chars.size(); ++at) {
            window.clear();
            for (std::size_t k = at; k < at + len && sounds[k] >= 0; ++k) window.push_back(static_cast<char16_t>(sounds[k]));
            if (window.size() != len) continue;
            const auto [lo, hi] = by_sound_.equal_range(window);
            for (auto it = lo; it != hi; ++it) {
                const std::u32string& key = key_chars_[it->second];
                std::size_t differ = 0;
                for (std::size_t k = 0; k < len; ++k) differ += key[k] != chars[at + k];
                if (differ == 1 && !std::binary_search(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(exact), it->second) &&
                    std::find(ids.begin() + static_cast<std::ptrdiff_t>(exact), ids.end(), it->second) == ids.end())
                    ids.push_back(it->second);
            }
        }
    }
    std::sort(ids.begin() + static_cast<std::ptrdiff_t>(exact), ids.end());
    return with_values(std::move(q), ids);
}

std::string Synonyms::expand(std::string_view raw_query) const {
    std::string q = text::normalize_text(raw_query);
    if (values_.empty()) return q;
    const std::vector<std::uint32_t> ids = keys_in(q);
    return with_values(std::move(q), ids);
}

std::vector<std::string> hybrid_terms(std::string_view q) {
    std::vector<std::string> terms;
    std::string scratch;
    for_each_term(without_question_words(q), scratch, [&](std::string_view t) {
        if (std::find(terms.begin(), terms.end(), t) == terms.end()) terms.emplace_back(t);
    });
    return terms;
}

double score_threshold_for(double threshold, std::size_t n) {
    return threshold * std::log(1 + std::max(0.0, static_cast<double>(n) - 0.5) / 1.5);
}

std::vector<Ranked> merge_stages(std::vector<std::pair<std::uint32_t, int>> first, const std::vector<std::string>& terms,
                                 const Bm25View& bm, double score_threshold, std::size_t top_k,
                                 const DocFilter* allowed, bool* refused) {
    std::vector<Ranked> out;
    if (top_k == 0 || bm.size() == 0) return out;
    // In the global search's order: score, best first, then index order.
    std::sort(first.begin(), first.end(),
              [](const auto& a, const auto& b) { return a.second > b.second || (a.second == b.second && a.first < b.first); });
    const std::size_t want = std::min<std::size_t>(top_k, bm.size());
    // Stage 2 fills want - |first| places; the best `want` BM25 entries hold
    // at least that many outside stage 1.  With stage 1 full it is not needed.
    std::vector<Hit> hits;
    if (first.size() < want) {
        if (allowed) {
            std::vector<QueryTerm> qt;
            for (const std::string& t : terms) qt.push_back({t, 1.0});
            hits = bm.top_k(qt, want, allowed);
        } else {
            hits = bm.search_terms(terms, want);
        }
    }
    const bool refuse = first.empty() && (hits.empty() || hits.front().second < score_threshold);
    if (refused) *refused = refuse;
    else if (refuse) return out;
    for (const auto& [id, s] : first) {
        if (out.size() >= want) break;
        out.push_back({id, bm.score(terms, id), 1});
    }
    for (const Hit& hit : hits) {
        if (out.size() >= want) break;
        const std::uint32_t id = hit.first;
        if (std::any_of(first.begin(), first.end(), [id](const auto& f) { return f.first == id; })) continue;
        out.push_back({id, hit.second, 2});
    }
    return out;
}

void BaseTitles::add(std::string& out, std::uint32_t entry, std::string_view title) {
    const std::string_view base = base_title(title);
    if (base.size() == title.size()) return;
    const std::string norm = text::normalize_text(base);
    if (norm.empty() || norm.size() > UINT32_MAX) return;
    const std::uint32_t head[2] = {entry, static_cast<std::uint32_t>(norm.size())};
    out.append(reinterpret_cast<const char*>(head), sizeof head);
    out += norm;
    out.append((4 - norm.size() % 4) % 4, '\0');
}

BaseTitles BaseTitles::decode(std::span<const std::byte> bytes, std::uint32_t entries) {
    BaseTitles b;
    matcher::IndexBuilder builder;
    std::size_t at = 0;
    std::uint32_t last = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 8) throw Bm25Error("base titles: record cut short");
        std::uint32_t head[2];
        std::memcpy(head, bytes.data() + at, sizeof head);
        at += 8;
        if (head[0] >= entries || (!b.entry_of_.empty() && head[0] <= last))
            throw Bm25Error("base titles: entry id out of range or out of order");
        const std::size_t padded = head[1] + (4 - head[1] % 4) % 4;
        if (head[1] == 0 || bytes.size() - at < padded) throw Bm25Error("base titles: text length out of range");
        const std::string_view text(reinterpret_cast<const char*>(bytes.data() + at), head[1]);
        if (uni::find_invalid_utf8(text) != std::string_view::npos) throw Bm25Error("base titles: invalid UTF-8");
        builder.begin_entry(text, true);
        b.entry_of_.push_back(head[0]);
        last = head[0];
        at += padded;
    }
    b.index_ = builder.compile();
    b.entry_span_ = b.entry_of_;
    b.base_count_ = static_cast<std::uint32_t>(b.entry_of_.size());
    b.entries_ = entries;
    return b;
}

namespace {
// The versions of the compiled form written (4, or 3 without title lengths)
// and still read (2).
constexpr std::uint64_t kBaseCompiledWeighs = 4;    // lists of entry ids, a length beside each posting
constexpr std::uint64_t kBaseCompiledVersion = 3;   // lists of entry ids
constexpr std::uint64_t kBaseCompiledByPosition = 2;  // lists of base title indexes, their entries last
// The eleven matcher arrays, then version 2's entry of each base title or
// version 4's length of each posting's match.
constexpr std::size_t kBaseArrays = 12;
constexpr std::size_t kBaseHeaderWords = 3 + kBaseArrays;
constexpr std::size_t kBaseElement[kBaseArrays] = {2, 4, 4, 1, 4, 8, 4, 4, 4, 4, 1, 4};
std::size_t base_element(std::uint64_t version, std::size_t i) {
    return i == kBaseArrays - 1 && version == kBaseCompiledWeighs ? 2 : kBaseElement[i];
}
}  // namespace

std::string BaseTitles::encode_compiled(std::span<const TitleLengths> lengths) const {
    const matcher::CompiledIndex::Arrays& a = index_.arrays();
    // The lists as entry ids (base titles come in entry order, so they stay sorted).
    std::vector<std::uint32_t> postings(a.postings.begin(), a.postings.end());
    if (!direct_)
        for (std::uint32_t& k : postings) {
            if (k >= entry_span_.size()) throw Bm25Error("base titles: entry id out of range");
            k = entry_span_[k];
        }
    const bool weighs = !lengths.empty();
    if (weighs && lengths.size() != entries_) throw Bm25Error("base titles: title lengths of another entry count");
    std::vector<std::uint16_t> weigh;
    if (weighs) {
        weigh.reserve(postings.size());
        for (const std::uint32_t e : postings) {
            if (e >= lengths.size()) throw Bm25Error("base titles: entry id out of range");
            weigh.push_back(static_cast<std::uint16_t>(lengths[e].matched_title(false, true)));
        }
    }
    const std::pair<const void*, std::size_t> arrays[kBaseArrays] = {
        {a.label.data(), a.label.size()},
        {a.label_escape.data(), a.label_escape.size()},
        {a.child_base.data(), a.child_base.size()},
        {a.child_count.data(), a.child_count.size()},
        {a.child_escape.data(), a.child_escape.size()},
        {a.terminal.data(), a.terminal.size()},
        {a.terminal_rank.data(), a.terminal_rank.size()},
        {a.root_bmp.data(), a.root_bmp.size()},
        {a.offsets.data(), a.offsets.size()},
        {postings.data(), postings.size()},
        {a.keyword_repeat.data(), a.keyword_repeat.size()},
        {weigh.data(), weigh.size()}};
    const std::uint64_t version = weighs ? kBaseCompiledWeighs : kBaseCompiledVersion;
    std::uint64_t head[kBaseHeaderWords] = {version, entries_, base_count_};
    for (std::size_t i = 0; i < kBaseArrays; ++i) head[3 + i] = arrays[i].second;
    std::string out(reinterpret_cast<const char*>(head), sizeof head);
    for (std::size_t i = 0; i < kBaseArrays; ++i) {
        if (arrays[i].second)
            out.append(static_cast<const char*>(arrays[i].first), arrays[i].second * base_element(version, i));
        out.append((8 - out.size() % 8) % 8, '\0');
    }
    return out;
}

BaseTitles BaseTitles::over(std::span<const std::byte> bytes, std::uint32_t entries) {
    auto fail = [](const char* what) { throw Bm25Error(std::string("compiled base titles: ") + what); };
    if (reinterpret_cast<std::uintptr_t>(bytes.data()) % 8) fail("not aligned");
    std::uint64_t head[kBaseHeaderWords];
    if (bytes.size() < sizeof head) fail("cut short");
    std::memcpy(head, bytes.data(), sizeof head);
    const std::uint64_t version = head[0];
    if (version != kBaseCompiledWeighs && version != kBaseCompiledVersion && version != kBaseCompiledByPosition)
        fail("unknown version");
    const bool direct = version != kBaseCompiledByPosition;
    if (head[1] != entries) fail("of another entry count");
    if (head[2] > entries || (!direct && head[2] != head[3 + kBaseArrays - 1])) fail("base title count out of range");
    if (version == kBaseCompiledWeighs && head[3 + kBaseArrays - 1] != head[3 + 9])
        fail("lengths of another posting count");
    const std::byte* at[kBaseArrays];
    std::uint64_t off = sizeof head;
    for (std::size_t i = 0; i < kBaseArrays; ++i) {
        const std::uint64_t n = head[3 + i];
        const std::size_t element = base_element(version, i);
        if (n > (bytes.size() - off) / element) fail("array out of range");
        at[i] = bytes.data() + off;
        off += (n * element + 7) & ~std::uint64_t{7};
        if (off > bytes.size()) fail("array out of range");
    }
    if (off != bytes.size()) fail("size differs from its arrays");
    auto array = [&]<class T>(std::size_t i, const T*) {
        return std::span<const T>(reinterpret_cast<const T*>(at[i]), head[3 + i]);
    };
    auto u32 = [&](std::size_t i) { return array(i, static_cast<const std::uint32_t*>(nullptr)); };
    matcher::CompiledIndex::Arrays a;
    a.label = array(0, static_cast<const std::uint16_t*>(nullptr));
    a.label_escape = u32(1);
    a.child_base = u32(2);
    a.child_count = array(3, static_cast<const std::uint8_t*>(nullptr));
    a.child_escape = u32(4);
    a.terminal = array(5, static_cast<const std::uint64_t*>(nullptr));
    a.terminal_rank = u32(6);
    a.root_bmp = u32(7);
    a.offsets = u32(8);
    a.postings = u32(9);
    a.keyword_repeat = array(10, static_cast<const std::uint8_t*>(nullptr));
    BaseTitles b;
    try {
        // Version 3's lists name the index's entries, version 2's the base titles.
        b.index_ = matcher::CompiledIndex::over(direct ? entries : static_cast<std::uint32_t>(head[2]), a);
    } catch (const matcher::CorruptIndex& e) {
        fail(e.what());
    }
    b.weighed_ = version == kBaseCompiledWeighs;
    if (b.weighed_) b.weighs_ = array(11, static_cast<const std::uint16_t*>(nullptr));
    else b.entry_span_ = u32(11);
    b.direct_ = direct;
    b.base_count_ = static_cast<std::uint32_t>(head[2]);
    b.entries_ = entries;
    b.read_ahead_ = std::make_shared<std::atomic<bool>>(false);
    return b;
}

std::vector<std::uint32_t> BaseTitles::matches(std::string_view q, std::vector<std::uint16_t>* lengths) const {
    std::vector<std::uint32_t> out;
    if (lengths) lengths->clear();
    if (base_count_ == 0) return out;
    if (weighed_) {
        // Version 4: each posting's length beside it (the sizes agree, checked
        // at opening), read where the lists are.
        for (const auto& [entry, at] : index_.title_postings(q)) {
            if (!out.empty() && out.back() == entry) continue;
            out.push_back(entry);
            if (lengths) lengths->push_back(weighs_[at]);
        }
        return out;
    }
    // Base titles have no aliases or keywords: the entries matched are
    // those of the titles found (in entry order, once each).
    const auto found = index_.title_or_alias_entries(q);
    if (direct_) {
        out.reserve(found.size());
        for (const matcher::TitleOrAlias& e : found) out.push_back(e.entry);
        return out;
    }
    if (read_ahead_ && found.size() >= kReadAheadMatches && io::first_time(*read_ahead_)) {
        std::vector<std::uint32_t> at;
        at.reserve(found.size());
        for (const matcher::TitleOrAlias& e : found)
            if (e.entry < entry_span_.size()) at.push_back(e.entry);
        io::will_need_elements(entry_span_.data(), sizeof(std::uint32_t), at);
    }
    for (const matcher::TitleOrAlias& e : found) {
        // Mapped values are checked as they are read.
        const std::uint32_t id = e.entry;
        if (id >= entry_span_.size() || entry_span_[id] >= entries_) throw Bm25Corrupt("base titles: entry id out of range");
        out.push_back(entry_span_[id]);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace corvane::search
