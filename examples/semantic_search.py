"""Semantic search over sentence embeddings with a compressed lodex index.

The flow is the one a real application has: embed a corpus, index the
embeddings at the model's width (384 is no power of two, so the index uses
the general rotation), embed a question and ask for the closest documents.

The embeddings are synthetic. The small sentence-embedding models packaged on
PyPI need PyTorch at run time, too heavy a dependency for an example, so each
"document" here gets a 384-dimensional unit vector (the width of
all-MiniLM-L6-v2) drawn around the direction of its subject, which gives the
clustered geometry real sentence embeddings have. To use a real model,
replace `embed` with it, for example sentence-transformers'
`model.encode(texts, normalize_embeddings=True)`; nothing else changes.

    python examples/semantic_search.py [--docs N]
"""

import argparse
import zlib

import numpy as np
from numpy.typing import NDArray

import lodex

EMBEDDING_DIM = 384  # what the model produces
SUBJECTS = {
    "astronomy": ["black holes", "exoplanets", "galaxy formation"],
    "cooking": ["sourdough bread", "knife skills", "fermentation"],
    "finance": ["index funds", "bond yields", "inflation"],
    "medicine": ["vaccines", "sleep research", "cardiology"],
    "music": ["jazz harmony", "guitar tuning", "orchestration"],
    "sport": ["marathon training", "chess openings", "track cycling"],
}
QUESTIONS = [
    ("how do planets around other stars form?", "exoplanets"),
    ("what makes bread dough rise overnight?", "sourdough bread"),
    ("are long-term bonds a good buy right now?", "bond yields"),
    ("why do I wake up tired?", "sleep research"),
    ("which chords does bebop use?", "jazz harmony"),
]


def unit(x: NDArray[np.float32]) -> NDArray[np.float32]:
    norms = np.linalg.norm(x, axis=-1, keepdims=True).astype(np.float32)
    return x / norms


def topic_direction(topic: str) -> NDArray[np.float32]:
    """A fixed direction per subject and per topic, the subject's shared with its topics."""
    subject = next(s for s, topics in SUBJECTS.items() if topic in topics)

    def direction(name: str) -> NDArray[np.float32]:
        rng = np.random.default_rng(zlib.crc32(name.encode()))
        return unit(rng.standard_normal(EMBEDDING_DIM).astype(np.float32))

    return unit(direction(subject) + 0.8 * direction(topic))


def embed(topics: list[str], rng: np.random.Generator) -> NDArray[np.float32]:
    """Stand-in for a sentence-embedding model: one unit vector per text, near its topic."""
    centres = np.stack([topic_direction(t) for t in topics])
    noise = rng.standard_normal((len(topics), EMBEDDING_DIM)).astype(np.float32)
    return unit(centres + noise * np.float32(1.1 / np.sqrt(EMBEDDING_DIM)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=30_000, help="corpus size")
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    all_topics = [t for topics in SUBJECTS.values() for t in topics]
    doc_topics = [all_topics[i] for i in rng.integers(len(all_topics), size=args.docs)]
    titles = [f"{topic} note #{i}" for i, topic in enumerate(doc_topics)]
    vectors = embed(doc_topics, rng)  # (docs, 384), unit rows

    # The rows are unit vectors, so the inner product is their cosine; "general" codes any width.
    index = lodex.Index(dim=EMBEDDING_DIM, bits=4, use_qjl=False, seed=42, rotation="general")
    batch = 10_000
    for start in range(0, len(vectors), batch):
        stop = min(start + batch, len(vectors))
        index.add_batch(ids=np.arange(start, stop), vectors=vectors[start:stop])
    print(index)

    on_topic = 0
    recall = 0.0
    k = 5
    queries = embed([topic for _, topic in QUESTIONS], rng)
    for (question, topic), query in zip(QUESTIONS, queries):
        hits = index.search(query=query, k=k)
        exact = set(np.argsort(-(vectors @ query), kind="stable")[:k].tolist())
        recall += len(exact & {doc for doc, _ in hits}) / k
        on_topic += sum(doc_topics[doc] == topic for doc, _ in hits)
        print(f"\n{question}")
        for doc, score in hits:
            print(f"  {score:6.3f}  {titles[doc]}")

    precision = on_topic / (k * len(QUESTIONS))
    print(f"\non-topic hits: {precision:.0%}   recall@{k} against exact search: {recall / len(QUESTIONS):.0%}")
    if precision < 0.9:
        raise SystemExit("the compressed index lost the topic structure")


if __name__ == "__main__":
    main()
