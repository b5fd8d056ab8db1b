// The engines check reads npm's ranges as npm does, for Node.js 18.19.0.
import { test } from "node:test";
import assert from "node:assert/strict";
import { admits, lockFailures, lowestAdmitted } from "./engines_check.mjs";

test("ranges that admit 18.19.0 and ranges that do not", () => {
    const cases = [
        // as the packages write them
        [">=18", true], [">=20", false], [">=20.19.0", false], [">=0.12", true], [">= 18.19.0", true],
        [">=18.20", false], ["^18.19.0 || >=20", true], ["^18.20.0 || >=20", false], ["14 || 16 || >=18", true],
        ["*", true], ["", true], ["18.x", true], ["18", true], ["=18.19.0", true], ["18.19.1", false],
        // each operator at its edge
        [">18.18", true], [">18.19", false], [">=18.19.1", false], ["<18.19.0", false], ["<18.19.1", true],
        ["<=18.18", false], ["<=18.19", true], ["<=18", true], ["<19", true], ["<18.19.0-0", false],
        ["~18.19.0", true], ["~18.18", false], ["~18", true], ["~> 18.19", true], ["^18.19.1", false], ["^18", true],
        ["^0.12", false], ["^17.0.0", false], [">=16 <18.19", false], [">=16 <19", true],
        ["16.0.0 - 18.19", true], ["16.0.0 - 18.18.9", false], ["v18.19.0", true], [">18", false],
    ];
    for (const [range, want] of cases) assert.equal(admits(range), want, `"${range}"`);
});

test("a range that cannot be read is a failure, never an admission", () => {
    for (const range of ["node18", ">=eighteen", "18.19.0.1", ">= >= 18", "^"]) assert.equal(admits(range), null, range);
    const lock = { name: "t", lockfileVersion: 3, packages: {
        "": { name: "t" },
        "node_modules/a": { version: "1.0.0", engines: { node: ">=18" } },
        "node_modules/b": { version: "2.0.0" },
        "node_modules/a/node_modules/c": { version: "3.0.0", engines: { node: ">=20" } },
        "node_modules/d": { version: "4.0.0", engines: { node: "latest" } },
    } };
    assert.deepEqual(lockFailures(lock), [
        'c@3.0.0: engines.node ">=20" does not admit Node.js 18.19.0',
        'd@4.0.0: engines.node "latest" cannot be read',
    ]);
    assert.equal(lockFailures({ lockfileVersion: 1, dependencies: {} }).length, 1);
});

test("a project pinned for a later Node.js is held to the lowest version it admits", () => {
    for (const [range, low] of [["20", "20.0.0"], [">=20.18.1", "20.18.1"], ["^20.5 || >=22", "20.5.0"], [">19.3", "19.4.0"], ["<18", null]]) {
        assert.equal(lowestAdmitted(range), low, range);
    }
    const lock = (own) => ({ name: "t", lockfileVersion: 3, packages: {
        "": { name: "t", engines: { node: own } },
        "node_modules/a": { version: "1.0.0", engines: { node: ">=20" } },
        "node_modules/b": { version: "2.0.0", engines: { node: "^20.5.0" } },
    } });
    assert.deepEqual(lockFailures(lock("20")), ['b@2.0.0: engines.node "^20.5.0" does not admit Node.js 20.0.0']);
    // a project that runs on 18.19.0 is no exception
    assert.equal(lockFailures(lock(">=18")).length, 2);
});
