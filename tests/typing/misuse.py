"""Calls that break the stub's types. mypy --strict --strict-bytes must
reject each line marked `# expect: CODE` with that error code and nothing
else (checked by expect_errors.py), so the stub cannot quietly decay to Any
or to a looser type. Never run: most of these calls would fail at run time."""

import vorlinde

public_key, secret_key = vorlinde.key_gen()
rows = [["DE01", "Anna"]]
store = vorlinde.build_okvs(public_key, rows)

# Byte strings are bytes: no bytearray, memoryview or str.
vorlinde.build_okvs(bytearray(public_key), rows)  # expect: arg-type
vorlinde.randomize(memoryview(store))  # expect: arg-type
vorlinde.decrypt(store, "secret")  # expect: arg-type
vorlinde.initiate_queries(rows, rows, store, store, None)  # expect: arg-type

# Row data holds str, not bytes or numbers.
vorlinde.build_okvs(public_key, [[b"DE01"]])  # expect: list-item
vorlinde.build_okvs(public_key, 5)  # expect: arg-type

# The parameters and their names are fixed.
vorlinde.key_gen(1)  # expect: call-arg
vorlinde.randomize(records=store)  # expect: call-arg
vorlinde.combine(store)  # expect: call-arg

# Results have their precise types.
alpha, beta, gamma = vorlinde.combine(store, store)  # expect: misc
matches: bytes = vorlinde.finish(store, store, store, store, secret_key)  # expect: assignment
first: str = vorlinde.finish(store, store, store, store, secret_key)[0]  # expect: assignment
key: str = vorlinde.key_gen()[0]  # expect: assignment

# The failure class is no attribute of the module.
vorlinde.PanicException  # expect: attr-defined
