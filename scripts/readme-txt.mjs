#!/usr/bin/env node
// Writes the players' page (docs/players.md) as plain text for Notepad, the
// release's README.txt: lines of at most 78 columns, headings in capitals,
// lists with hanging indents, each table row as a list item with its other
// cells below it, and no Markdown marks. Line ends are LF; the release adds
// the CRs. It knows only the Markdown that page uses and fails on the rest.
//   node scripts/readme-txt.mjs docs/players.md > README.txt
import { readFileSync } from 'node:fs';

const width = 78;
const plain = (text) => text.replace(/\*\*(.+?)\*\*/g, '$1').replace(/`([^`]+)`/g, '$1');
const fail = (why, block) => {
  process.stderr.write(`readme-txt: ${why}:\n${block}\n`);
  process.exit(1);
};

// The words of text in lines of at most width columns, the first line
// starting with first and the others with rest. A short quoted label, such
// as "Run anyway", stays on one line.
function fill(text, first = '', rest = ' '.repeat(first.length)) {
  const lines = [];
  let line = first;
  let empty = true;
  for (const [word] of plain(text).matchAll(/"[^"\s][^"]{0,22}"\S*|\S+/g)) {
    if (!empty && line.length + 1 + word.length > width) {
      lines.push(line);
      line = rest;
      empty = true;
    }
    line += (empty ? '' : ' ') + word;
    empty = false;
  }
  return [...lines, line];
}

// A list's items: each starts at a line with a marker ("- " or "1. ") and
// goes on in the lines indented below it.
function list(block) {
  const items = [];
  for (const line of block.split('\n')) {
    const marker = /^(- |\d+\. )/.exec(line)?.[0];
    if (marker) items.push({ marker, text: line.slice(marker.length) });
    else if (/^\s+\S/.test(line) && items.length > 0) items.at(-1).text += ' ' + line.trim();
    else fail('a line in a list that belongs to no item', block);
  }
  return items.flatMap(({ marker, text }) => fill(text, marker));
}

const cells = (row) => row.replace(/^\||\|$/g, '').split('|').map((cell) => cell.trim());

function table(block) {
  const [header, , ...rows] = block.split('\n').map(cells);
  return rows.flatMap((row, i) => [
    ...(i > 0 ? [''] : []),
    ...fill(row[0], '- '),
    ...row.slice(1).flatMap((cell, column) => {
      const name = header[column + 1];
      const sentence = /[.?!"]$/.test(cell) ? cell : `${cell}.`;
      return fill(`${name[0].toUpperCase()}${name.slice(1)}: ${sentence}`, '  ', '    ');
    }),
  ]);
}

const out = [];
for (const block of readFileSync(process.argv[2], 'utf8').replace(/\r/g, '').trim().split(/\n\s*\n/)) {
  if (block.startsWith('<!--')) continue;
  if (/^#+ /.test(block)) out.push(...(out.length > 0 ? ['', ''] : []), plain(block.replace(/^#+ /, '')).toUpperCase());
  else if (block.startsWith('|')) out.push('', ...table(block));
  else if (/^(- |\d+\. )/.test(block)) out.push('', ...list(block));
  else if (/^(```|>|    )|\]\(|<[a-z]/m.test(block)) fail('no plain-text form for this', block);
  else out.push('', ...fill(block));
}
process.stdout.write(out.join('\n') + '\n');
