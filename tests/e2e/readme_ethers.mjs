// The README's ethers snippet, run as a reader would run it: the first
// ```js block of the README, with only the port of its URL changed, against
// a fresh node; what it prints must be the ```text block that follows it.
//
//   ROZEVE_README=<README.md> node readme_ethers.mjs <rozeve binary> <work dir>

import { execFile } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import { STEP_TIMEOUT_MS, check, checkEqual, importClient, runSession } from './support.mjs';

// The snippet sends one transfer and waits for it: a few steps.
const SNIPPET_TIMEOUT_MS = 3 * STEP_TIMEOUT_MS;

// The snippet imports ethers: skipped like the other sessions without it.
await importClient('ethers');

// The body of the first fence of `lang` at or after line `from`, and the line after its end.
function fence(lines, lang, from) {
  const open = lines.indexOf('```' + lang, from);
  if (open < 0) return null;
  const close = lines.indexOf('```', open + 1);
  if (close < 0) return null;
  return { body: lines.slice(open + 1, close).join('\n'), next: close + 1 };
}

await runSession('readme_ethers', async ({ port }) => {
  const readme = process.env.ROZEVE_README;
  if (!check(Boolean(readme) && fs.existsSync(readme), 'the README is given', String(readme))) return;
  const lines = fs.readFileSync(readme, 'utf8').split('\n');
  const snippet = fence(lines, 'js', 0);
  if (!check(snippet !== null, 'the README holds a js block')) return;
  const shown = fence(lines, 'text', snippet.next);
  if (!check(shown !== null, 'a text block shows what the snippet prints')) return;

  const url = 'http://127.0.0.1:8545';
  check(snippet.body.includes(url), `the snippet talks to ${url}`);
  // Beside this script, so that its import of ethers resolves as a reader's does.
  const file = path.resolve(`readme_snippet_${process.pid}.mjs`);
  fs.writeFileSync(file, snippet.body.replaceAll(url, `http://127.0.0.1:${port}`));
  try {
    const printed = await new Promise((resolve) => {
      execFile(process.execPath, [file], { timeout: SNIPPET_TIMEOUT_MS },
        (error, stdout, stderr) => resolve({ error, stdout, stderr }));
    });
    check(printed.error === null, 'the snippet runs to its end',
      `${printed.error?.message ?? ''}\n${printed.stderr}`);
    checkEqual(printed.stdout.trimEnd(), shown.body.trimEnd(), 'the snippet prints what the README shows');
  } finally {
    fs.rmSync(file, { force: true });
  }
});
