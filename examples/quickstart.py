"""A tour of vendrel: add documents with metadata and a time-to-live, search with and
without a filter, delete by filter, count, and watch a document expire."""

import json
import random
import tempfile
import time

import vendrel

DIMENSION = 8
COLOURS = ["red", "green", "blue"]


def random_vector(rng):
    return [rng.uniform(-1.0, 1.0) for _ in range(DIMENSION)]


def show(title, hits):
    print(f"\n{title}")
    if not hits:
        print("  (no hits)")
    for doc_id, score, metadata in hits:
        print(f"  id {doc_id:>3}  score {score:+.3f}  {metadata}")


def main():
    rng = random.Random(7)
    with tempfile.TemporaryDirectory() as directory:
        db = vendrel.VendrelDB(directory)
        print(f"Opened a database in {directory}")

        vectors = {}
        for doc_id in range(30):
            vectors[doc_id] = random_vector(rng)
            metadata = {
                "colour": COLOURS[doc_id % 3],
                "price": round(5 + doc_id * 1.5, 2),
                "shop": {"city": "Lyon" if doc_id % 2 else "Oslo"},
            }
            db.add(doc_id, vectors[doc_id], json.dumps(metadata))
        # ttl=0: expiry is checked in whole seconds, so this document lives until the
        # current second of the clock has passed (up to one second).
        db.add(30, random_vector(rng), json.dumps({"colour": "red", "note": "short-lived"}), ttl=0)
        print(f"Added 31 documents; count() = {db.count()}")

        query = vectors[4]
        show("Top 3 for the vector of document 4:", db.search(query, 3))

        red_and_cheap = json.dumps({"$and": [{"colour": {"$eq": "red"}}, {"price": {"$lt": 20}}]})
        show(f"Top 3 with the filter {red_and_cheap}:", db.search(query, 3, red_and_cheap))

        show("Top 2 in Oslo, without metadata:",
             db.search(query, 2, json.dumps({"shop.city": {"$eq": "Oslo"}}), include_metadata=False))

        removed = db.delete(json.dumps({"colour": {"$eq": "green"}}))
        print(f"\nDeleted the green documents: {removed} removed, count() = {db.count()}")

        print("Waiting for the short-lived document to expire...")
        time.sleep(1.1)
        print(f"count() = {db.count()} after expiry")

        try:
            db.search(query, 3, "{not json")
        except ValueError as error:
            print(f"\nA malformed filter is refused: ValueError({str(error)!r})")


if __name__ == "__main__":
    main()
