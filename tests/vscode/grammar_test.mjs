// The extension's grammar (editors/vscode/syntaxes/) tokenized line by line
// by the engine VS Code itself uses (vscode-textmate with vscode-oniguruma),
// each line against the tokens velxref reads in it, written by hand: every
// piece that is not blank, with its innermost scope (without ".vela-asm").
//
//   node --test grammar_test.mjs
import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { fileURLToPath } from "node:url";
import { dirname, join } from "node:path";

const require = createRequire(import.meta.url);
const here = dirname(fileURLToPath(import.meta.url));
const vsctm = require("vscode-textmate");
const oniguruma = require("vscode-oniguruma");

async function loadGrammar() {
    const wasm = readFileSync(require.resolve("vscode-oniguruma/release/onig.wasm"));
    await oniguruma.loadWASM(wasm.buffer.slice(wasm.byteOffset, wasm.byteOffset + wasm.byteLength));
    const registry = new vsctm.Registry({
        onigLib: Promise.resolve({
            createOnigScanner: (patterns) => new oniguruma.OnigScanner(patterns),
            createOnigString: (s) => new oniguruma.OnigString(s),
        }),
        loadGrammar: async () => vsctm.parseRawGrammar(
            readFileSync(join(here, "../../editors/vscode/syntaxes/vela-asm.tmLanguage.json"), "utf8"), "vela-asm.tmLanguage.json"),
    });
    return registry.loadGrammar("source.vela-asm");
}

function pieces(grammar, line) {
    const { tokens } = grammar.tokenizeLine(line, vsctm.INITIAL);
    return tokens.map((t) => [line.slice(t.startIndex, t.endIndex), t.scopes.at(-1).replace(/\.vela-asm$/, "")])
        .filter(([text]) => text.trim() !== "");
}

const LABEL = "entity.name.function.label", COLON = "punctuation.separator.label";
const MN = "keyword.mnemonic", DIR = "keyword.control.directive", REG = "variable.language.register";
const RES = "keyword.other.reserved", SYM = "variable.other.symbol", OP = "keyword.operator";
const HEX = "constant.numeric.hex", OCT = "constant.numeric.octal", BIN = "constant.numeric.binary";
const DEC = "constant.numeric.decimal", STR1 = "string.quoted.single", STR2 = "string.quoted.double";
const COMMENT = "comment.line.semicolon", BAD = "invalid.illegal.character", COMMA = "punctuation.separator";

const cases = [
    // labels: with a colon (even spelled like a keyword), or before a keyword, "=" or the end
    ["LOOP:\tLDA\tCOUNT", [["LOOP", LABEL], [":", COLON], ["LDA", MN], ["COUNT", SYM]]],
    ["LDA:\tlda\t#1", [["LDA", LABEL], [":", COLON], ["lda", MN], ["#", OP], ["1", DEC]]],
    ["DELAY\t=\t200\t\t; outer loop count", [["DELAY", LABEL], ["=", OP], ["200", DEC], ["; outer loop count", COMMENT]]],
    ["PUTC\t.MACRO\tCH", [["PUTC", LABEL], [".MACRO", DIR], ["CH", SYM]]],
    ["  HERE", [["HERE", LABEL]]],
    ["X1 X", [["X1", LABEL], ["X", REG]]],
    // a macro invoked, and a mnemonic or register at the start, define nothing
    ["\tPUTC\t'*'", [["PUTC", SYM], ["'*'", STR1]]],
    ["lda X", [["lda", MN], ["X", REG]]],
    // pseudo-instructions need the dot; a dotted name that is none is a symbol
    ["\t.include PORTS.INC", [[".include", DIR], ["PORTS.INC", SYM]]],
    ["\t.FOO .ENDM .END.X", [[".FOO", LABEL], [".ENDM", DIR], [".END.X", SYM]]],
    // reserved words: registers and bits, and the words of structured statements
    ["\tIF A == 0", [["IF", RES], ["A", REG], ["==", OP], ["0", DEC]]],
    ["\tBBS BIT_A7,Z,WHILE", [["BBS", MN], ["BIT_A7", REG], [",", COMMA], ["Z", REG], [",", COMMA], ["WHILE", RES]]],
    // numbers, each notation, and where one ends
    ["\t.BYTE $1F,%101,@17,0FFH,0ffh,17Q,17o,101B,101b,08", [[".BYTE", DIR], ["$1F", HEX], [",", COMMA], ["%101", BIN], [",", COMMA],
        ["@17", OCT], [",", COMMA], ["0FFH", HEX], [",", COMMA], ["0ffh", HEX], [",", COMMA], ["17Q", OCT], [",", COMMA],
        ["17o", OCT], [",", COMMA], ["101B", BIN], [",", COMMA], ["101b", BIN], [",", COMMA], ["08", DEC]]],
    ["\tLDA 1BH+12AB-10D", [["LDA", MN], ["1BH", HEX], ["+", OP], ["12", DEC], ["AB", SYM], ["-", OP], ["10", DEC], ["D", REG]]],
    ["\tLDA 19Q+9K", [["LDA", MN], ["19", DEC], ["Q", SYM], ["+", OP], ["9", DEC], ["K", SYM]]],
    ["\tLDA %1012,@9,$ ", [["LDA", MN], ["%101", BIN], ["2", DEC], [",", COMMA], ["@", OP], ["9", DEC], [",", COMMA], ["$", OP]]],
    // strings hold any quote of the other kind and no comment; one left open runs to the end
    ["\t.PAGE \"it's; fine\" ; title", [[".PAGE", DIR], ["\"it's; fine\"", STR2], ["; title", COMMENT]]],
    ["\t.BYTE 'say \"hi\"'", [[".BYTE", DIR], ["'say \"hi\"'", STR1]]],
    ["\t.BYTE \"open ; no comment", [[".BYTE", DIR], ["\"open ; no comment", "invalid.illegal.unterminated-string"]]],
    // names: ? _ . are name characters, a colon before a name is no label
    ["\tJMP ?X+_Y+A.B+:NAME", [["JMP", MN], ["?X", SYM], ["+", OP], ["_Y", SYM], ["+", OP], ["A.B", SYM], ["+", OP], [":NAME", SYM]]],
    // characters that start no token
    ["\tLDA \\X`", [["LDA", MN], ["\\", BAD], ["X", REG], ["`", BAD]]],
    ["; a comment LDA", [["; a comment LDA", COMMENT]]],
];

test("the grammar colours each line as velxref reads it", async () => {
    const grammar = await loadGrammar();
    for (const [line, expected] of cases) {
        assert.deepEqual(pieces(grammar, line), expected, JSON.stringify(line));
    }
});
